#include "tools/pack/archive_layout.h"

#include "archive/file_crc.h"
#include "base/bytes.h"
#include "base/names.h"

namespace {

// Property ids of the 7z header.
enum : uint8_t {
    kEnd = 0x00,
    kHeader = 0x01,
    kMainStreamsInfo = 0x04,
    kFilesInfo = 0x05,
    kPackInfo = 0x06,
    kUnpackInfo = 0x07,
    kSubStreamsInfo = 0x08,
    kSize = 0x09,
    kCRC = 0x0A,
    kFolder = 0x0B,
    kCodersUnpackSize = 0x0C,
    kName = 0x11,
    kWinAttributes = 0x15,
};

constexpr uint32_t ENTRY_ATTRIBUTES = 0x20;  // FILE_ATTRIBUTE_ARCHIVE

// The Copy coder alone: simple (one stream in, one out), id 00, no properties.
const uint8_t COPY_FOLDER[] = {0x01, 0x01, 0x00};
// An LZMA coder with its 5 property bytes to follow: id 03 01 01.
const uint8_t LZMA_CODER[] = {0x23, 0x03, 0x01, 0x01, LZMA_PROPS_BYTES};
// BCJ2: id 03 03 01 1B, four streams in, one out.
const uint8_t BCJ2_CODER[] = {0x14, 0x03, 0x03, 0x01, 0x1B, 0x04, 0x01};
// The bonds (BCJ2's inputs 3, 4, 5 from the outputs of main, call, jump) and
// the pack streams (main's LZMA, BCJ2's range coder, call's, jump's), in 7zz's
// order, which the decoder's BCJ2 check requires.
const uint8_t BCJ2_BONDS_AND_PACK_STREAMS[] = {0x05, 0x00, 0x04, 0x01, 0x03, 0x02, 0x02, 0x06, 0x01, 0x00};

bool AppendLe32(ByteBuffer* buffer, uint32_t value) {
    uint8_t bytes[4];
    PutLe32(bytes, value);
    return Append(buffer, bytes, 4);
}

bool AppendName(ByteBuffer* buffer, const char16_t* name) {
    for (const char16_t* c = name;; ++c) {
        const uint8_t unit[2] = {static_cast<uint8_t>(*c), static_cast<uint8_t>(*c >> 8)};  // UTF-16LE
        if (!Append(buffer, unit, 2)) return false;
        if (*c == 0) return true;
    }
}

bool AppendRuntimeFolder(ByteBuffer* h, const RuntimeFolder& runtime) {
    bool ok = AppendNumber(h, RUNTIME_CODERS);
    for (int i = 0; i < 3; ++i) {
        ok = ok && Append(h, LZMA_CODER, sizeof LZMA_CODER) && Append(h, runtime.lzmaProps[i], LZMA_PROPS_BYTES);
    }
    return ok && Append(h, BCJ2_CODER, sizeof BCJ2_CODER) &&
           Append(h, BCJ2_BONDS_AND_PACK_STREAMS, sizeof BCJ2_BONDS_AND_PACK_STREAMS);
}

}  // namespace

bool AppendNumber(ByteBuffer* buffer, uint64_t value) {
    // The first byte's leading ones count the little-endian bytes that follow;
    // its remaining bits hold the value's highest bits.
    for (int extra = 0; extra < 8; ++extra) {
        if ((value >> (8 * extra)) < (1u << (7 - extra))) {
            uint8_t bytes[9];
            bytes[0] = static_cast<uint8_t>(((0xFF00u >> extra) & 0xFFu) | (value >> (8 * extra)));
            PutLe(bytes + 1, value, extra);
            return Append(buffer, bytes, 1 + static_cast<size_t>(extra));
        }
    }
    uint8_t bytes[9] = {0xFF};
    PutLe64(bytes + 1, value);
    return Append(buffer, bytes, 9);
}

bool BuildArchiveHeader(uint64_t payloadSize, uint32_t payloadCrc, const RuntimeFolder& runtime, uint32_t runtimeCrc,
                        ByteBuffer* h) {
    bool ok = AppendByte(h, kHeader) && AppendByte(h, kMainStreamsInfo);

    ok = ok && AppendByte(h, kPackInfo) && AppendNumber(h, 0) && AppendNumber(h, 1 + RUNTIME_PACK_STREAMS) &&
         AppendByte(h, kSize) && AppendNumber(h, payloadSize);
    for (const ByteBuffer& stream : runtime.packed) ok = ok && AppendNumber(h, stream.size);
    ok = ok && AppendByte(h, kEnd);

    ok = ok && AppendByte(h, kUnpackInfo) && AppendByte(h, kFolder) && AppendNumber(h, 2) && AppendByte(h, 0) &&
         Append(h, COPY_FOLDER, sizeof COPY_FOLDER) && AppendRuntimeFolder(h, runtime) &&
         AppendByte(h, kCodersUnpackSize) && AppendNumber(h, payloadSize);
    for (uint64_t size : runtime.unpackSizes) ok = ok && AppendNumber(h, size);
    ok = ok && AppendByte(h, kEnd);

    // One entry per folder; the entries' CRCs, none for the folders.
    ok = ok && AppendByte(h, kSubStreamsInfo) && AppendByte(h, kCRC) && AppendByte(h, 1) &&
         AppendLe32(h, payloadCrc) && AppendLe32(h, runtimeCrc) && AppendByte(h, kEnd) && AppendByte(h, kEnd);

    ByteBuffer names;
    ok = ok && AppendByte(&names, 0) && AppendName(&names, PAYLOAD_NAME) && AppendName(&names, LIBRARY_NAME);
    ok = ok && AppendByte(h, kFilesInfo) && AppendNumber(h, 2) && AppendByte(h, kName) &&
         AppendNumber(h, names.size) && Append(h, names.data, names.size);
    ok = ok && AppendByte(h, kWinAttributes) && AppendNumber(h, 2 + 2 * 4) && AppendByte(h, 1) && AppendByte(h, 0) &&
         AppendLe32(h, ENTRY_ATTRIBUTES) && AppendLe32(h, ENTRY_ATTRIBUTES);
    return ok && AppendByte(h, kEnd) && AppendByte(h, kEnd);
}

void BuildStartHeader(uint64_t nextOffset, uint64_t headerSize, uint32_t headerCrc,
                      uint8_t out[ARCHIVE_START_HEADER_SIZE]) {
    const uint8_t signature[8] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x04};  // and version 0.4
    std::memcpy(out, signature, sizeof signature);
    PutLe64(out + 12, nextOffset);
    PutLe64(out + 20, headerSize);
    PutLe32(out + 28, headerCrc);
    PutLe32(out + 8, Crc32Update(0, out + 12, 20));
}
