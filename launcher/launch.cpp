#include "launcher/launch.h"

#include "archive/archive_reader.h"
#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "archive/payload.h"
#include "cache/install.h"
#include "cache/runtime_dir.h"
#include "base/error_box.h"
#include "launcher/handoff.h"
#include "launcher/integrity.h"
#include "base/text.h"

namespace {

// Releases the reader at every end of the run once it was set up.
struct ReaderGuard {
    ArchiveReader* reader = nullptr;
    ~ReaderGuard() {
        if (reader != nullptr) ArchiveReaderRelease(reader);
    }
};

}  // namespace

int RunLauncher(PlatModule instance) {
    // Stage 0: every library loaded from now on comes from the system directory
    // only. Where the system cannot do that, no library is loaded at stage 14.
    const bool searchRestricted = PlatSetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    PlatInitCommonControls();

    // Stage 1: own path. A result that fills the buffer was cut.
    HostImage image{};
    const uint32_t pathLength = PlatGetModuleFileName(image.modulePath, PATH_CAPACITY);
    if (pathLength == 0 || pathLength >= PATH_CAPACITY) {
        ShowError(u"Cannot resolve own module path");
        return EXIT_OWN_PATH;
    }

    // Stage 2: the executable stays open, read sharing only, until the end.
    FileHandle exe;
    if (OpenLongFile(&exe.file, image.modulePath, OpenMode::Read) != 0) {
        ShowError(u"Error opening EXE");
        return EXIT_EXE_OPEN;
    }

    // Stage 3.
    if (!ProbeHostImage(&image)) {
        ShowError(u"Cannot determine EXE size");
        return EXIT_PROBE;
    }

    // Stage 4: the start header check needs the tables.
    CrcGenerateTable();

    // Stage 5.
    uint64_t archiveStart = 0;
    if (!FindArchiveStart(exe.file, image, &archiveStart)) {
        ShowError(u"7z archive not found");
        return EXIT_NO_ARCHIVE;
    }

    // Stage 6: the decoder takes the current position as the archive start.
    int64_t position = static_cast<int64_t>(archiveStart);
    if (FileSeek(exe.file, &position, FILE_BEGIN) != 0) return EXIT_ARCHIVE_SEEK;

    // Stage 7.
    ArchiveReader reader;
    ArchiveReaderSetUp(&reader, exe.file);
    ReaderGuard guard;
    guard.reader = &reader;
    if (!ArchiveReaderAllocBuffer(&reader)) {
        ShowError(u"Memory allocation error");
        return EXIT_READER_MEMORY;
    }

    // Stage 8.
    const SRes opened = ArchiveReaderOpen(&reader);
    if (opened != SZ_OK) {
        ShowErrorF(u"SzArEx_Open error: %d", static_cast<int32_t>(opened));
        return EXIT_ARCHIVE_OPEN;
    }

    // Stage 9: nothing is written before the payload is verified.
    PayloadLocation payload{};
    const PayloadResult located = LocatePayload(&reader, exe.file, image.fileSize, &payload);
    if (located != PayloadResult::Ok) {
        ShowError(PayloadMessage(located));
        return located == PayloadResult::OutOfMemory ? EXIT_PAYLOAD_MEMORY : EXIT_PAYLOAD;
    }

    // Stage 10: both folders stay held, so nothing above the library can be
    // swapped until the hand-off releases them.
    bool rootExisted = false;
    RuntimeFolders folders;
    HeapText runtimeDir(PrepareRuntimeDir(&rootExisted, &folders));
    if (runtimeDir.text == nullptr) {
        ShowError(u"Failed to create output directory");
        return EXIT_RUNTIME_DIR;
    }

    // Stage 11.
    char16_t libraryPath[PATH_CAPACITY];
    if (!TextFormat(libraryPath, PATH_CAPACITY, u"%s\\%s", runtimeDir.text, LIBRARY_NAME)) {
        return EXIT_LIBRARY_PATH;
    }
    const bool libraryExisted = TargetExists(folders.dir.file, LIBRARY_NAME);

    // Stage 12.
    InstalledLibrary installed{};
    if (!InstallEntries(&reader, runtimeDir.text, folders.dir.file, &installed)) return EXIT_INSTALL;

    // Stage 13: errors are ignored.
    PurgeOldRuntimes(folders);

    // Stage 14: the handles stay open until the load returned.
    CheckedLibrary checked;
    const LibraryCheck check{instance, folders.dir.file, libraryPath, installed, searchRestricted, &reader.check};
    if (!CheckRuntimeIntegrity(check, &checked)) return EXIT_INTEGRITY;
    if (!ConfirmLoadTarget(libraryPath, &checked)) return EXIT_INTEGRITY;

    // Stage 15.
    const HandOffInput handOff{instance,        image.modulePath, libraryPath, payload,
                               runtimeDir.text, libraryExisted,   rootExisted};
    const int code = HandOff(handOff, &checked, &folders);

    // Stage 16: the guards release the reader and the handles.
    return code;
}
