#include "launcher/launch.h"

#include "archive/package.h"
#include "base/long_path.h"
#include "cache/install.h"
#include "cache/runtime_dir.h"
#include "base/error_box.h"
#include "launcher/handoff.h"
#include "launcher/integrity.h"
#include "base/text.h"

namespace {

// Whether "<path>.local" stands beside the executable, file or folder.
bool RedirectionRequested(const char16_t* modulePath) {
    char16_t local[PATH_CAPACITY];
    if (!TextFormat(local, PATH_CAPACITY, u"%s.local", modulePath)) return false;  // no such name can exist either
    char16_t scratch[LONG_PATH_CAPACITY];
    return PlatGetFileAttributes(ToLongPath(local, scratch)) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int RunLauncher(PlatModule instance) {
    // Stage 0: every library loaded from now on comes from the system directory
    // only. Where the system cannot do that, no library is loaded at stage 14.
    const bool searchRestricted = PlatSetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    // Stage 1: own path. A result that fills the buffer was cut.
    Package package;
    const uint32_t pathLength = PlatGetModuleFileName(package.image.modulePath, PATH_CAPACITY);
    if (pathLength == 0 || pathLength >= PATH_CAPACITY) {
        ShowError(u"Cannot resolve own module path");
        return EXIT_OWN_PATH;
    }
    // "<exe>.local" beside the executable makes Windows take libraries from its
    // folder before any other, for every load from here on: nothing is loaded
    // then, and the box is drawn by the system, so it loads nothing either.
    if (RedirectionRequested(package.image.modulePath)) {
        ShowErrorStyled(MB_ICONERROR | MB_SERVICE_NOTIFICATION,
                        u"This application cannot start safely: remove \"%s.local\" from its folder.",
                        package.image.modulePath);
        return EXIT_REDIRECTED;
    }
    PlatInitCommonControls();

    // Stages 2 to 9: the executable stays held until the end.
    const PackageResult opened = OpenPackage(&package);
    switch (opened.stop) {
        case PackageStop::None: break;
        case PackageStop::ExeOpen: ShowError(u"Error opening EXE"); return EXIT_EXE_OPEN;
        case PackageStop::Probe: ShowError(u"Cannot determine EXE size"); return EXIT_PROBE;
        case PackageStop::NoArchive: ShowError(u"7z archive not found"); return EXIT_NO_ARCHIVE;
        case PackageStop::Seek: return EXIT_ARCHIVE_SEEK;
        case PackageStop::ReaderMemory: ShowError(u"Memory allocation error"); return EXIT_READER_MEMORY;
        case PackageStop::ArchiveOpen:
            ShowErrorF(u"SzArEx_Open error: %d", static_cast<int32_t>(opened.openResult));
            return EXIT_ARCHIVE_OPEN;
        case PackageStop::Payload:
            ShowError(PayloadMessage(opened.payload));
            return opened.payload == PayloadResult::OutOfMemory ? EXIT_PAYLOAD_MEMORY : EXIT_PAYLOAD;
    }
    ArchiveReader& reader = package.reader;

    // Stage 10: both folders stay held, so nothing above the library can be
    // swapped; the record is all later stages know of the cache.
    RuntimeCache cache;
    if (!PrepareRuntimeDir(&cache)) {
        ShowError(u"Failed to create output directory");
        return EXIT_RUNTIME_DIR;
    }

    // Stage 11.
    if (!FormLibraryPath(&cache)) return EXIT_LIBRARY_PATH;

    // Stage 12.
    InstalledLibrary installed{};
    if (!InstallEntries(&reader, cache, false, &installed)) return EXIT_INSTALL;

    // Stage 13: errors are ignored.
    PurgeOldRuntimes(cache);

    // Stage 14: the handle stays open until the loaded module was confirmed.
    // A library that is not the packed runtime is replaced from the archive
    // once (unless this run just wrote it): a file someone put there must not
    // stop every later start.
    CheckedLibrary checked;
    LibraryCheck check{instance, cache.dir.file, cache.libraryPath, installed, searchRestricted, &reader.check};
    CheckResult result = CheckRuntimeIntegrity(check, &checked);
    if (result.verdict == CheckVerdict::Refused && !installed.written) {
        if (!InstallEntries(&reader, cache, true, &installed)) return EXIT_INSTALL;
        check.installed = installed;
        result = CheckRuntimeIntegrity(check, &checked);
    }
    if (result.verdict != CheckVerdict::Passed) {
        ShowError(result.message);
        return EXIT_INTEGRITY;
    }

    // Stage 15.
    const HandOffInput handOff{instance, package.image.modulePath, package.payload};
    const int code = HandOff(handOff, &checked, &cache);

    // Stage 16: the guards release the reader and the handles.
    return code;
}
