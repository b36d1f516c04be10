#include "tools/pack/package_writer.h"

#include "archive/file_crc.h"
#include "archive/host_image.h"
#include "base/bytes.h"
#include "tools/pack/archive_layout.h"
#include "tools/pack/byte_buffer.h"
#include "tools/pack/pe_package.h"
#include "tools/pack/runtime_folder.h"

namespace {

// The payload is copied through one buffer this large: small enough that a
// piece is still in the core's cache when it is summed twice and written,
// large enough that the calls cost little (the launcher's checks measured the
// same size fastest for a read followed by its CRC).
constexpr size_t PAYLOAD_PIECE = 262144;

// Appends to the output and keeps the PE checksum of everything written.
struct Sink {
    const PackOutput* output;
    PeChecksum checksum;
};

bool Emit(Sink* sink, const uint8_t* data, size_t size) {
    if (size == 0) return true;
    if (!sink->output->write(sink->output->context, data, size)) return false;
    ChecksumAppend(&sink->checksum, data, size);
    return true;
}

bool Report(const PackProgress& progress, uint64_t done, uint64_t total) {
    return progress.report == nullptr || progress.report(progress.context, done, total);
}

// Copies the payload after the start header's place, summing its CRC.
PackResult CopyPayload(const PackSource& source, Sink* sink, const PackProgress& progress, uint64_t before,
                       uint64_t total, uint64_t* copied, uint32_t* crc) {
    ByteBuffer piece;
    if (!Reserve(&piece, PAYLOAD_PIECE)) return PackResult::OutOfMemory;
    uint64_t done = 0;
    uint32_t sum = 0;
    for (;;) {
        size_t got = 0;
        if (!source.read(source.context, piece.data, PAYLOAD_PIECE, &got)) return PackResult::ReadFailed;
        if (got == 0) break;
        done += got;
        if (got > PAYLOAD_PIECE || done > source.size) return PackResult::PayloadSizeChanged;
        sum = Crc32Update(sum, piece.data, got);
        if (!Emit(sink, piece.data, got)) return PackResult::WriteFailed;
        if (!Report(progress, before + done, total)) return PackResult::Cancelled;
    }
    if (done != source.size) return PackResult::PayloadSizeChanged;
    *copied = done;
    *crc = sum;
    return PackResult::Ok;
}

}  // namespace

PackResult WritePackage(const PackInputs& inputs, const PackOutput& output, const PackProgress& progress,
                        PackReport* report) {
    *report = PackReport{};
    uint32_t cut = 0;
    report->image = CheckLauncherImage(inputs.image, inputs.imageSize, &cut);
    report->searchStart = cut;
    if (report->image != ImageCheck::Ok) return PackResult::NotLauncherImage;
    if (inputs.payload.size == 0) return PackResult::EmptyPayload;
    if (inputs.runtimeSize == 0) return PackResult::EmptyRuntime;
    const uint64_t total = inputs.runtimeSize + inputs.payload.size;

    // The runtime first: nothing is written until its folder is ready, and its
    // packed streams (a fraction of the library) wait in memory for their turn.
    report->runtimeCrc = Crc32Update(0, inputs.runtime, inputs.runtimeSize);
    RuntimeFolder folder;
    PackResult result = EncodeRuntimeFolder(inputs.runtime, inputs.runtimeSize, progress, total, &folder);
    if (result != PackResult::Ok) return result;
    report->runtimePacked = PackedSize(folder);

    // The whole layout is known now (the header's size does not depend on the CRCs it records).
    ByteBuffer planned;
    if (!BuildArchiveHeader(inputs.payload.size, 0, folder, report->runtimeCrc, &planned)) {
        return PackResult::OutOfMemory;
    }
    const uint64_t fixed = uint64_t{cut} + ARCHIVE_START_HEADER_SIZE + report->runtimePacked + planned.size;
    Free(&planned);
    if (inputs.payload.size >= WINDOWS_START_LIMIT || fixed >= WINDOWS_START_LIMIT - inputs.payload.size) {
        report->packageSize = fixed + inputs.payload.size;
        return PackResult::TooLarge;
    }

    // The image up to the cut, its checksum field zero until the sum is known.
    ByteBuffer image;
    if (!Append(&image, inputs.image, cut)) return PackResult::OutOfMemory;
    const uint32_t checksumAt = Le32(image.data + 60) + CHECKSUM_FIELD;
    PutLe32(image.data + checksumAt, 0);
    ClearTrailerReferences(image.data, cut, &report->clearedSignature, &report->clearedSymbols);

    // The start header names the header's CRC, which covers the payload's:
    // its place is held by zeros until the end.
    Sink sink{&output, {}};
    const uint8_t zeros[ARCHIVE_START_HEADER_SIZE] = {};
    if (!Emit(&sink, image.data, image.size) || !Emit(&sink, zeros, sizeof zeros)) return PackResult::WriteFailed;
    Free(&image);

    result = CopyPayload(inputs.payload, &sink, progress, inputs.runtimeSize, total, &report->payloadSize,
                         &report->payloadCrc);
    if (result != PackResult::Ok) return result;
    for (const ByteBuffer& stream : folder.packed) {
        if (!Emit(&sink, stream.data, stream.size)) return PackResult::WriteFailed;
    }

    ByteBuffer header;
    if (!BuildArchiveHeader(report->payloadSize, report->payloadCrc, folder, report->runtimeCrc, &header)) {
        return PackResult::OutOfMemory;
    }
    if (!Emit(&sink, header.data, header.size)) return PackResult::WriteFailed;

    uint8_t start[ARCHIVE_START_HEADER_SIZE];
    BuildStartHeader(report->payloadSize + report->runtimePacked, header.size, Crc32Update(0, header.data, header.size),
                     start);
    ChecksumPatch(&sink.checksum, cut, start, sizeof start);
    report->checksum = ChecksumValue(sink.checksum);
    uint8_t checksum[4];
    PutLe32(checksum, report->checksum);
    if (!output.rewrite(output.context, cut, start, sizeof start) ||
        !output.rewrite(output.context, checksumAt, checksum, sizeof checksum)) {
        return PackResult::WriteFailed;
    }
    report->packageSize = sink.checksum.length;
    return PackResult::Ok;
}

const char* PackResultName(PackResult result) {
    switch (result) {
        case PackResult::Ok: return "ok";
        case PackResult::Cancelled: return "cancelled";
        case PackResult::NotLauncherImage: return "the launcher is not an image it can be packed with";
        case PackResult::EmptyPayload: return "the payload is empty";
        case PackResult::EmptyRuntime: return "the runtime library is empty";
        case PackResult::PayloadSizeChanged: return "the payload changed size while it was read";
        case PackResult::ReadFailed: return "the payload could not be read";
        case PackResult::WriteFailed: return "the package could not be written";
        case PackResult::OutOfMemory: return "out of memory";
        case PackResult::EncoderFailed: return "the LZMA encoder failed";
        case PackResult::TooLarge: return "the package would be too large for Windows to start";
    }
    return "unknown result";
}

const char* ImageCheckName(ImageCheck check) {
    switch (check) {
        case ImageCheck::Ok: return "ok";
        case ImageCheck::NoMzHeader: return "not a PE image (no MZ header)";
        case ImageCheck::HeaderOutsideBlock: return "its PE header lies outside its first 4096 bytes";
        case ImageCheck::NoPeSignature: return "not a PE image (no PE signature)";
        case ImageCheck::Not64Bit: return "not a 64-bit x86-64 PE image";
        case ImageCheck::OptionalHeaderSize: return "its optional header is not the 240 bytes of a 64-bit one";
        case ImageCheck::SectionTableOutside: return "its section table runs past its first 4096 bytes";
        case ImageCheck::NoRawData: return "no section has raw data";
        case ImageCheck::Truncated: return "truncated: its sections end past its last byte";
        case ImageCheck::CutInsideHeaders: return "its sections end inside its headers";
    }
    return "unknown check";
}
