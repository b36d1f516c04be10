// The package written through the tool host's output: the payload read in
// pieces from its file (never held whole), progress for the runtime's
// compression and the payload's copy, and an interruption cancelling the
// writer at its next piece. The SHA-256 of a finished file for --json.
#include "tools/pack/pack_tool.h"

extern "C" {
#include "Sha256.h"
}

namespace {

constexpr size_t HASH_PIECE = 1u << 20;

struct Source {
    ToolFile* file;
    std::string why;
};

bool ReadPiece(void* context, uint8_t* buffer, size_t capacity, size_t* got) {
    Source* source = static_cast<Source*>(context);
    return ToolRead(source->file, buffer, capacity, got, &source->why);
}

struct Sink {
    ToolOutput* output;
    std::string why;
};

bool WritePiece(void* context, const uint8_t* data, size_t size) {
    Sink* sink = static_cast<Sink*>(context);
    return ToolWrite(sink->output, data, size, &sink->why);
}

bool RewritePiece(void* context, uint64_t offset, const uint8_t* data, size_t size) {
    Sink* sink = static_cast<Sink*>(context);
    return ToolWriteAt(sink->output, offset, data, size, &sink->why);
}

// The writer reports the runtime's bytes first, then the payload's after them.
struct Steps {
    uint64_t runtimeSize;
    bool copying;
    ProgressLine compressing;
    ProgressLine copy;
};

bool Advance(void* context, uint64_t done, uint64_t total) {
    if (ToolInterruption() != 0) return false;
    Steps* steps = static_cast<Steps*>(context);
    if (!steps->copying && done > steps->runtimeSize) {
        ProgressEnd(&steps->compressing);
        ProgressBegin(&steps->copy, "copying the payload", total - steps->runtimeSize);
        steps->copying = true;
    }
    if (steps->copying) {
        ProgressAdvance(&steps->copy, done - steps->runtimeSize);
    } else {
        ProgressAdvance(&steps->compressing, done);
    }
    return true;
}

}  // namespace

bool WritePackageFile(const std::vector<uint8_t>& image, PackFiles* files, ToolOutput* output, PackReport* report,
                      Failure* failure) {
    Source source{&files->payload, {}};
    Sink sink{output, {}};
    Steps steps{files->runtime.size(), false, {}, {}};
    ProgressBegin(&steps.compressing, "compressing the runtime library", files->runtime.size());
    const PackInputs inputs{image.data(), image.size(), files->runtime.data(), files->runtime.size(),
                            PackSource{&source, files->payloadSize, ReadPiece}};
    const PackResult result = WritePackage(inputs, PackOutput{&sink, WritePiece, RewritePiece},
                                           PackProgress{&steps, Advance}, report);
    ProgressEnd(steps.copying ? &steps.copy : &steps.compressing);
    switch (result) {
        case PackResult::Ok: return true;
        case PackResult::Cancelled:
            if (Interrupted(failure)) return false;
            break;
        case PackResult::NotLauncherImage:
            return Fail(failure, PACK_EXIT_FAILED,
                        std::string("the launcher's image cannot be packed: ") + ImageCheckName(report->image));
        case PackResult::TooLarge: return RefuseTooLarge(report->packageSize, false, failure);
        case PackResult::ReadFailed:
            return Fail(failure, PACK_EXIT_FAILED, "cannot read the payload: " + source.why);
        case PackResult::WriteFailed:
            return Fail(failure, PACK_EXIT_FAILED, "cannot write " + output->final + ": " + sink.why);
        default: break;
    }
    return Fail(failure, PACK_EXIT_FAILED, std::string("cannot pack: ") + PackResultName(result));
}

bool HashFile(const std::string& path, ToolOutput* copy, uint8_t digest[32], uint64_t* size, Failure* failure) {
    static const bool prepared = (Sha256Prepare(), true);
    (void)prepared;
    ToolFile file;
    std::string why;
    if (!ToolOpenRead(path, &file, size, &why)) {
        return Fail(failure, PACK_EXIT_FAILED, "cannot read the package back: " + why);
    }
    std::vector<uint8_t> piece(HASH_PIECE);
    CSha256 sha;
    Sha256_Init(&sha);
    ProgressLine line;
    ProgressBegin(&line, copy != nullptr ? "copying the signed package" : "hashing the package", *size);
    uint64_t done = 0;
    for (;;) {
        size_t got = 0;
        if (!ToolRead(&file, piece.data(), piece.size(), &got, &why)) {
            return Fail(failure, PACK_EXIT_FAILED, "cannot read the package back: " + why);
        }
        if (got == 0) break;
        if (Interrupted(failure)) return false;
        Sha256_Update(&sha, piece.data(), got);
        if (copy != nullptr && !ToolWrite(copy, piece.data(), got, &why)) {
            return Fail(failure, PACK_EXIT_FAILED, "cannot write " + copy->final + ": " + why);
        }
        done += got;
        ProgressAdvance(&line, done);
    }
    ProgressEnd(&line);
    Sha256_Final(&sha, digest);
    *size = done;
    return true;
}
