#include "archive/package.h"

#include "archive/file_crc.h"
#include "base/long_path.h"

PackageResult OpenPackage(Package* package, bool checkPayload) {
    PackageResult result{PackageStop::None, 0, SZ_OK, PayloadResult::Ok};

    // Stage 2: held, read sharing only, until the package goes.
    if (!OpenLongFile(&package->exe, package->image.modulePath, &result.error)) {
        result.stop = PackageStop::ExeOpen;
        return result;
    }

    // Stage 3, through the same handle: the file is never looked up twice.
    if (!ProbeHostImage(package->exe.Get(), &package->image)) {
        result.stop = PackageStop::Probe;
        return result;
    }

    // Stage 4: the start header check needs the tables.
    SdkCrcTablesReady();

    // Stage 5.
    if (!FindArchiveStart(package->exe.Get(), package->image, &package->archiveStart)) {
        result.stop = PackageStop::NoArchive;
        return result;
    }

    // Stage 6: the decoder takes the current position as the archive start.
    int64_t position = static_cast<int64_t>(package->archiveStart);
    if (!FileSeek(package->exe.Get(), &position, FILE_BEGIN, nullptr)) {
        result.stop = PackageStop::Seek;
        return result;
    }

    // Stage 7.
    ArchiveReaderSetUp(&package->reader, package->exe.Get());
    package->readerSetUp = true;
    if (!ArchiveReaderAllocBuffers(&package->reader)) {
        result.stop = PackageStop::ReaderMemory;
        return result;
    }

    // Stage 8.
    if (!ArchiveReaderOpen(&package->reader, &result.openResult)) {
        result.stop = PackageStop::ArchiveOpen;
        return result;
    }

    // Stage 9: nothing is written before the payload is verified.
    if (!checkPayload) return result;
    result.payload =
        LocateAndCheckPayload(&package->reader, package->exe.Get(), package->image.fileSize, &package->payload);
    if (result.payload != PayloadResult::Ok) result.stop = PackageStop::Payload;
    return result;
}

Ending StopEnding(const PackageResult& opened) {
    switch (opened.stop) {
        case PackageStop::None: break;
        case PackageStop::ExeOpen: return EndWith(Outcome::ExeOpen);
        case PackageStop::Probe: return EndWith(Outcome::Probe);
        case PackageStop::NoArchive: return EndWith(Outcome::NoArchive);
        case PackageStop::Seek: return EndWith(Outcome::ArchiveSeek);
        case PackageStop::ReaderMemory: return EndWith(Outcome::ReaderMemory);
        case PackageStop::ArchiveOpen: return EndWith(Outcome::ArchiveOpen, static_cast<int32_t>(opened.openResult));
        case PackageStop::Payload: return EndWith(PayloadOutcome(opened.payload));
    }
    return EndWith(Outcome::Ok);
}
