#include "tools/pack/runtime_folder.h"

#include <cstdlib>

extern "C" {
#include "Bcj2.h"
#include "LzmaEnc.h"
}

namespace {

// 7zz's choices for these methods at its default level 5: the dictionary as
// asked but never above the library's size (kReduceSize, at least 4 KiB),
// lc 3, lp 0, pb 2, the normal (optimal parsing) algorithm with 32 fast bytes,
// the bt4 match finder with 32 cycles, no end marker. 7zz runs the match
// finder on a second thread wherever the machine has two cores; the bytes are
// the same as with one, and it halves the time of the largest step.
constexpr uint32_t MAIN_DICTIONARY = 1u << 25;
constexpr uint32_t BRANCH_DICTIONARY = 1u << 19;
constexpr int ENCODER_THREADS = 2;

// BCJ2's output is written in pieces this large before each grows (a multiple
// of 4, as the call and jump streams need).
constexpr size_t SPLIT_PIECE = 1u << 18;

void* HeapAlloc(ISzAllocPtr, size_t size) { return std::malloc(size); }
void HeapFree(ISzAllocPtr, void* address) { std::free(address); }
const ISzAlloc HEAP = {HeapAlloc, HeapFree};

struct MemoryIn {
    ISeqInStream vt;  // first: the interface pointer is the record itself
    const uint8_t* data;
    size_t size;
    size_t at;
};

SRes MemoryRead(ISeqInStreamPtr p, void* buffer, size_t* size) {
    MemoryIn* in = reinterpret_cast<MemoryIn*>(const_cast<ISeqInStream*>(p));
    size_t n = in->size - in->at;
    if (n > *size) n = *size;
    if (n != 0) std::memcpy(buffer, in->data + in->at, n);
    in->at += n;
    *size = n;
    return SZ_OK;
}

struct BufferOut {
    ISeqOutStream vt;
    ByteBuffer* buffer;
};

size_t BufferWrite(ISeqOutStreamPtr p, const void* data, size_t size) {
    BufferOut* out = reinterpret_cast<BufferOut*>(const_cast<ISeqOutStream*>(p));
    return Append(out->buffer, data, size) ? size : 0;  // short: the encoder stops with SZ_ERROR_WRITE
}

// The encoder's progress as the library's bytes done; the main stream is the
// library less the call and jump targets, so its position stands for it.
struct ProgressBridge {
    ICompressProgress vt;
    const PackProgress* progress;
    uint64_t total;
    uint64_t cap;
};

SRes BridgeProgress(ICompressProgressPtr p, UInt64 inSize, UInt64) {
    const ProgressBridge* bridge = reinterpret_cast<const ProgressBridge*>(p);
    if (bridge->progress->report == nullptr) return SZ_OK;
    const uint64_t done = inSize < bridge->cap ? inSize : bridge->cap;
    return bridge->progress->report(bridge->progress->context, done, bridge->total) ? SZ_OK : SZ_ERROR_PROGRESS;
}

PackResult ResultOf(SRes code) {
    switch (code) {
        case SZ_OK: return PackResult::Ok;
        case SZ_ERROR_PROGRESS: return PackResult::Cancelled;
        case SZ_ERROR_MEM:
        case SZ_ERROR_WRITE: return PackResult::OutOfMemory;  // our only write is into memory
        default: return PackResult::EncoderFailed;
    }
}

struct EncoderHandle {
    CLzmaEncHandle handle = nullptr;
    EncoderHandle() = default;
    EncoderHandle(const EncoderHandle&) = delete;
    EncoderHandle& operator=(const EncoderHandle&) = delete;
    ~EncoderHandle() {
        if (handle != nullptr) LzmaEnc_Destroy(handle, &HEAP, &HEAP);
    }
};

PackResult EncodeLzma(const ByteBuffer& input, uint32_t dictionary, uint64_t librarySize, ProgressBridge* bridge,
                      ByteBuffer* packed, uint8_t props[LZMA_PROPS_BYTES]) {
    EncoderHandle encoder;
    encoder.handle = LzmaEnc_Create(&HEAP);
    if (encoder.handle == nullptr) return PackResult::OutOfMemory;

    CLzmaEncProps p;
    LzmaEncProps_Init(&p);
    p.level = 5;
    p.dictSize = dictionary;
    p.reduceSize = librarySize;  // 7zz reduces every coder of the folder by the file's size
    p.lc = 3;
    p.lp = 0;
    p.pb = 2;
    p.algo = 1;
    p.fb = 32;
    p.btMode = 1;
    p.numHashBytes = 4;
    p.mc = 32;
    p.numThreads = ENCODER_THREADS;
    p.writeEndMark = 0;
    SRes code = LzmaEnc_SetProps(encoder.handle, &p);
    if (code != SZ_OK) return ResultOf(code);
    LzmaEnc_SetDataSize(encoder.handle, librarySize);

    SizeT propsSize = LZMA_PROPS_BYTES;
    code = LzmaEnc_WriteProperties(encoder.handle, props, &propsSize);
    if (code != SZ_OK) return ResultOf(code);

    MemoryIn in{{MemoryRead}, input.data, input.size, 0};
    BufferOut out{{BufferWrite}, packed};
    code = LzmaEnc_Encode(encoder.handle, &out.vt, &in.vt, bridge != nullptr ? &bridge->vt : nullptr, &HEAP, &HEAP);
    return ResultOf(code);
}

// Room for BCJ2 to go on in stream s, at least one more piece and a multiple
// of 4 bytes (the call and jump streams are written 4 bytes at a time).
bool MakeRoom(CBcj2Enc* enc, ByteBuffer* stream, unsigned s) {
    stream->size = static_cast<size_t>(enc->bufs[s] - stream->data);
    if (stream->capacity - stream->size < SPLIT_PIECE) {
        const size_t doubled = stream->capacity * 2;
        if (!Reserve(stream, doubled > stream->size + SPLIT_PIECE ? doubled : stream->size + SPLIT_PIECE)) {
            return false;
        }
    }
    enc->bufs[s] = stream->data + stream->size;
    enc->lims[s] = enc->bufs[s] + ((stream->capacity - stream->size) & ~static_cast<size_t>(3));
    return true;
}

// The library through BCJ2 at 7zz's settings: one file starting at ip 0 whose
// size bounds the conversion, the default relative-offset limit.
PackResult SplitBcj2(const uint8_t* runtime, size_t size, ByteBuffer streams[BCJ2_NUM_STREAMS]) {
    CBcj2Enc enc;
    Bcj2Enc_Init(&enc);
    enc.fileIp64 = 0;
    Bcj2Enc_SET_FileSize(&enc, size)
    enc.relatLimit = BCJ2_ENC_RELAT_LIMIT_DEFAULT;
    // The main stream is at most the library: it never grows.
    if (!Reserve(&streams[BCJ2_STREAM_MAIN], size + SPLIT_PIECE)) return PackResult::OutOfMemory;
    for (unsigned s = 0; s < BCJ2_NUM_STREAMS; ++s) {
        enc.bufs[s] = streams[s].data;
        if (!MakeRoom(&enc, &streams[s], s)) return PackResult::OutOfMemory;
    }
    enc.src = runtime;
    enc.srcLim = runtime + size;
    enc.finishMode = BCJ2_ENC_FINISH_MODE_END_STREAM;
    for (;;) {
        Bcj2Enc_Encode(&enc);
        if (Bcj2Enc_IsFinished(&enc)) break;
        if (enc.state >= BCJ2_NUM_STREAMS) return PackResult::EncoderFailed;  // all input was given
        if (!MakeRoom(&enc, &streams[enc.state], enc.state)) return PackResult::OutOfMemory;
    }
    for (unsigned s = 0; s < BCJ2_NUM_STREAMS; ++s) {
        streams[s].size = static_cast<size_t>(enc.bufs[s] - streams[s].data);
    }
    return PackResult::Ok;
}

}  // namespace

PackResult EncodeRuntimeFolder(const uint8_t* runtime, size_t size, const PackProgress& progress, uint64_t total,
                               RuntimeFolder* folder) {
    if (size == 0) return PackResult::EmptyRuntime;
    ByteBuffer split[BCJ2_NUM_STREAMS];
    PackResult result = SplitBcj2(runtime, size, split);
    if (result != PackResult::Ok) return result;

    folder->unpackSizes[0] = split[BCJ2_STREAM_JUMP].size;
    folder->unpackSizes[1] = split[BCJ2_STREAM_CALL].size;
    folder->unpackSizes[2] = split[BCJ2_STREAM_MAIN].size;
    folder->unpackSizes[3] = size;

    ProgressBridge bridge{{BridgeProgress}, &progress, total, size};
    result = EncodeLzma(split[BCJ2_STREAM_MAIN], MAIN_DICTIONARY, size, &bridge, &folder->packed[0],
                        folder->lzmaProps[2]);
    if (result != PackResult::Ok) return result;
    Free(&split[BCJ2_STREAM_MAIN]);
    if (!Append(&folder->packed[1], split[BCJ2_STREAM_RC].data, split[BCJ2_STREAM_RC].size)) {
        return PackResult::OutOfMemory;
    }
    result = EncodeLzma(split[BCJ2_STREAM_CALL], BRANCH_DICTIONARY, size, nullptr, &folder->packed[2],
                        folder->lzmaProps[1]);
    if (result != PackResult::Ok) return result;
    result = EncodeLzma(split[BCJ2_STREAM_JUMP], BRANCH_DICTIONARY, size, nullptr, &folder->packed[3],
                        folder->lzmaProps[0]);
    if (result != PackResult::Ok) return result;
    if (progress.report != nullptr && !progress.report(progress.context, size, total)) return PackResult::Cancelled;
    return PackResult::Ok;
}

uint64_t PackedSize(const RuntimeFolder& folder) {
    uint64_t sum = 0;
    for (const ByteBuffer& stream : folder.packed) sum += stream.size;
    return sum;
}
