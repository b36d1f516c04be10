#include "launcher/launch.h"

#include "archive/package.h"
#include "base/long_path.h"
#include "cache/install.h"
#include "cache/runtime_dir.h"
#include "base/outcome.h"
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
    if (pathLength == 0 || pathLength >= PATH_CAPACITY) return ShowEnding(EndWith(Outcome::OwnPath));
    // Every plain open of a path Windows would rewrite reaches another file, the
    // runtime's reads of the payload included; the "\\?\" form is taken as it is.
    if (!IsVerbatimPath(package.image.modulePath) && PlainFormRewrites(package.image.modulePath)) {
        return ShowEnding(EndWith(Outcome::RewrittenOwnPath, package.image.modulePath));
    }
    // "<exe>.local" beside the executable makes Windows take libraries from its
    // folder before any other, for every load from here on: nothing is loaded
    // then, and the box is drawn by the system, so it loads nothing either.
    if (RedirectionRequested(package.image.modulePath)) {
        return ShowEnding(EndWith(Outcome::Redirected, package.image.modulePath));
    }

    // Stages 2 to 9: the executable stays held until the end.
    const PackageResult opened = OpenPackage(&package);
    if (opened.stop != PackageStop::None) return ShowEnding(StopEnding(opened));
    ArchiveReader& reader = package.reader;

    // Stage 10: both folders stay held, so nothing above the library can be
    // swapped; the record is all later stages know of the cache.
    RuntimeCache cache;
    Ending ending = EndWith(Outcome::Ok);
    if (!PrepareRuntimeDir(&cache, &ending)) return ShowEnding(ending);

    // Stage 11.
    if (!FormLibraryPath(&cache, &ending)) return ShowEnding(ending);

    // Read once: the installation and the check both go by it. With a pin the
    // check alone decides whether a library in place is the packed code, so
    // apps packed from the same code signed apart share one library.
    const LauncherPin pin = ReadLauncherPin(instance);
    // Every wait of this start for a held entry comes out of one budget.
    Backoff waits;

    // Stage 12.
    InstalledLibrary installed{};
    const InstallMode mode = CheckDecidesCurrent(pin) ? InstallMode::ByCheck : InstallMode::ByCrc;
    if (!InstallEntries(&reader, cache, mode, &waits, &installed, &ending)) return ShowEnding(ending);

    // Stage 13: errors are ignored.
    PurgeOldRuntimes(cache, &waits);

    // Stage 14: the handle stays open until the loaded module was confirmed.
    // A library that is not the packed runtime is replaced from the archive
    // once (unless this run just wrote it): a file someone put there must not
    // stop every later start.
    CheckedLibrary checked;
    LibraryCheck check{instance, cache.dir.Get(), cache.libraryPath, installed, searchRestricted, &reader.check, pin};
    CheckVerdict verdict = CheckRuntimeIntegrity(check, &checked, &ending);
    if (verdict == CheckVerdict::Refused && !installed.written) {
        if (!InstallEntries(&reader, cache, InstallMode::Rewrite, &waits, &installed, &ending)) {
            return ShowEnding(ending);
        }
        check.installed = installed;
        verdict = CheckRuntimeIntegrity(check, &checked, &ending);
    }
    if (verdict != CheckVerdict::Passed) return ShowEnding(ending);

    // Stage 15.
    const HandOffInput handOff{instance, package.image.modulePath, package.payload, &waits};
    return ShowEnding(HandOff(handOff, &checked, &cache));
}
