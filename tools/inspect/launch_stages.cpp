// The inspection: the launcher's stages 1 to 9 with its own functions, then
// the installation's decode of every install-list entry, without writing
// anything, and the verdict on the library it would leave.
#include <cstring>
#include <string>

#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "archive/package.h"
#include "base/long_path.h"
#include "base/owned.h"
#include "launcher/launch.h"
#include "tools/inspect/inspect.h"
#include "tools/inspect/package_archive.h"
#include "tools/inspect/verdict.h"

namespace {

// Launcher images are a few hundred KB; a larger one is read this far for its resources.
constexpr size_t IMAGE_READ_LIMIT = 64u << 20;

// The headers' facts, from the block the launcher's probe reads; returns the
// probe's rule that block fails (None when it passes or cannot be read).
ProbeStop ReadHostFacts(PlatFile exe, InspectReport* report) {
    uint8_t block[HEADER_BLOCK_SIZE];
    int64_t position = 0;
    size_t got = 0;
    if (!FileSeek(exe, &position, FILE_BEGIN, nullptr) || !FileRead(exe, block, sizeof block, &got, nullptr)) {
        return ProbeStop::None;
    }
    report->host = ReadPeFacts(block, got, false);
    uint32_t searchStart = 0;
    return ProbeHeaders(block, got, &searchStart);
}

// Which of the probe's rules the headers fail, in the packer's words.
std::string ProbeExplanation(ProbeStop stop) {
    switch (stop) {
        case ProbeStop::NoMz: return "not a PE image (no MZ header)";
        case ProbeStop::LfanewTooLarge:
            return "its PE header starts at or past byte " + Dec(MAX_LFANEW) + ", too late for the section table to "
                   "fit in the first " + Dec(HEADER_BLOCK_SIZE) + " bytes";
        case ProbeStop::HeadersPastEnd: return "the file ends before its section table starts";
        case ProbeStop::NoPeSignature: return "not a PE image (no PE signature)";
        case ProbeStop::SectionTableOutside:
            return "its section table runs past its first " + Dec(HEADER_BLOCK_SIZE) + " bytes";
        case ProbeStop::None: break;
    }
    return "the headers could not be read";
}

// The launcher's resources, from its image (the file up to the search start).
void ReadLauncherResources(PlatFile exe, uint64_t imageEnd, InspectReport* report) {
    std::vector<uint8_t> image(static_cast<size_t>(imageEnd < IMAGE_READ_LIMIT ? imageEnd : IMAGE_READ_LIMIT));
    int64_t position = 0;
    size_t got = 0;
    if (image.empty() || !FileSeek(exe, &position, FILE_BEGIN, nullptr) ||
        !FileRead(exe, image.data(), image.size(), &got, nullptr)) {
        return;
    }
    report->launcher = ReadLauncherFacts(image.data(), got);
}

// A file Windows will not start: its headers and the launcher's resources
// are reported, and nothing the launcher would do, which never comes to pass
// (its payload is not read either). False for a file that may start.
bool Unstartable(const char16_t* path, InspectReport* report) {
    OwnedFile file;
    uint64_t size = 0;
    if (!OpenLongFile(&file, path, nullptr) || !PlatGetFileSizeEx(file.Get(), &size) || size < WINDOWS_START_LIMIT) {
        return false;
    }
    report->fileSize = size;
    ReadHostFacts(file.Get(), report);
    HostImage image{};
    if (ProbeHostImage(file.Get(), &image)) {
        report->probed = true;
        report->searchStart = image.searchStart;
        ReadLauncherResources(file.Get(), image.searchStart, report);
    }
    RefuseUnstartable(report, size);
    return true;
}

const char* PayloadExplanation(PayloadResult result) {
    switch (result) {
        case PayloadResult::NotFound:
            return "no entry named exactly \"vorlane.bin\" with data (a file of at least one byte) in the archive";
        case PayloadResult::OutOfRange:
            return "the payload's bytes would reach past the end of the file: the payload must be stored (Copy) "
                   "and lie inside the executable";
        case PayloadResult::CrcError:
            return "the payload's bytes in the executable do not match its recorded CRC-32: the file was changed "
                   "after packing, or the payload is not stored";
        case PayloadResult::OutOfMemory: return "an entry name could not be allocated";
        case PayloadResult::Ok: break;
    }
    return "";
}

}  // namespace

void InspectPackage(const char16_t* path, const InspectOptions& options, InspectReport* report) {
    *report = InspectReport{};
    report->path = path;

    // Stage 1: the launcher's own path must leave room for its terminator.
    Package package;
    if (report->path.empty() || report->path.size() >= PATH_CAPACITY) {
        Refuse(report, EndWith(Outcome::OwnPath),
               "the path is " + Dec(report->path.size()) + " characters long; the launcher's own path must be "
               "shorter than " + Dec(PATH_CAPACITY) + " characters");
        return;
    }
    std::memcpy(package.image.modulePath, path, (report->path.size() + 1) * sizeof(char16_t));
    const HostImage& image = package.image;
    if (Unstartable(path, report)) return;

    // Stages 2 to 9 as the launcher runs them; the facts behind each answer are
    // read afterwards through the same open file.
    const PackageResult opened = OpenPackage(&package);
    const PlatFile exe = package.exe.Get();
    if (opened.stop == PackageStop::ExeOpen) {
        Refuse(report, StopEnding(opened),
               "the file cannot be opened for reading with read sharing (error " + Dec(opened.error) + ")");
        return;
    }

    // Stage 3.
    const ProbeStop probe = ReadHostFacts(exe, report);
    if (opened.stop == PackageStop::Probe) {
        Refuse(report, StopEnding(opened), "the PE headers fail the launcher's probe: " + ProbeExplanation(probe));
        return;
    }
    report->probed = true;
    report->searchStart = image.searchStart;
    report->fileSize = image.fileSize;
    ReadLauncherResources(exe, image.searchStart, report);

    // Stages 4 and 5.
    if (opened.stop == PackageStop::NoArchive) {
        Refuse(report, StopEnding(opened),
               "no valid 7z start header within 4 MiB after the image's raw data (search start " +
                   Dec(image.searchStart) + ", file size " + Dec(image.fileSize) + ")");
        return;
    }
    const uint64_t archiveStart = package.archiveStart;
    report->archiveFound = true;
    report->archiveStart = archiveStart;
    ReadStartHeader(exe, report);
    if (report->host.hasCertificateTable) {
        const uint64_t certStart = report->host.certificateOffset;
        const uint64_t certEnd = certStart + report->host.certificateSize;
        if (certEnd > image.fileSize) {
            report->notes.push_back("the certificate table the PE headers name runs past the end of the file: "
                                    "the executable's signature is broken.");
        } else if (report->archiveEnd.known && certStart < report->archiveEnd.value &&
                   certEnd > archiveStart) {
            report->notes.push_back("the certificate table the PE headers name overlaps the archive (a launcher "
                                    "signed before packing?): sign the packaged executable, never the launcher "
                                    "before packing.");
        }
    }

    // Stage 6.
    if (opened.stop == PackageStop::Seek) {
        Refuse(report, StopEnding(opened), "the file cannot be positioned at the archive start");
        return;
    }

    // Stage 7.
    if (opened.stop == PackageStop::ReaderMemory) {
        Refuse(report, StopEnding(opened), "the look-ahead buffer or the checks' read buffer");
        return;
    }

    // Stage 8.
    report->openTried = true;
    report->openResult = opened.openResult;
    if (opened.stop == PackageStop::ArchiveOpen) {
        Refuse(report, StopEnding(opened),
               SdkCodeMeaning(report->openResult));
        return;
    }
    ArchiveReader& reader = package.reader;
    report->dataPos = reader.db.dataPos;
    report->folderCount = reader.db.db.NumFolders;
    ListEntries(&reader.db, report);
    NoteNearNames(report);

    // Stage 9.
    const PayloadResult located = opened.payload;
    DescribePayload(&reader.db, exe, image.fileSize, package.payload, located, report);

    // The installation's decode runs whatever stage 9 said: the packager wants both answers.
    std::vector<uint8_t> installed;
    DecodeRuntimeEntries(&reader, report, &installed);

    if (located != PayloadResult::Ok) {
        Refuse(report, StopEnding(opened), PayloadExplanation(located));
        return;
    }
    report->verdict = Verdict{};
    report->verdict.ok = true;
    JudgeRuntime(installed, options, report);
}
