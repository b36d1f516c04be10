#include "tools/pack/pe_package.h"

#include <cstring>

#include "archive/host_image.h"
#include "archive/pe_view.h"
#include "base/bytes.h"
#include "tools/pack/package_writer.h"

namespace {

uint64_t Fold(uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

// The ones' complement sum of data's 16-bit words as if it started at an even
// offset (a last odd byte is the low byte of a word), folded to 16 bits. 2^32
// is 1 modulo 0xFFFF, so 32-bit words summed in 64 bits fold to the same sum;
// the compiler vectorises the loop.
uint64_t WordSum(const uint8_t* data, size_t size) {
    uint64_t sum = 0;
    size_t i = 0;
    while (size - i >= 4) {
        // At most 2^20 words per round, so the 64-bit sum cannot overflow.
        const size_t end = i + ((size - i) / 4 < (1u << 20) ? (size - i) / 4 : (1u << 20)) * 4;
        uint64_t round = 0;
        for (; i < end; i += 4) {
            uint32_t word;
            std::memcpy(&word, data + i, 4);  // little-endian hosts only, as the whole toolkit
            round += word;
        }
        sum = Fold(sum + Fold(round));
    }
    for (; i < size; i += 2) sum += data[i] | (i + 1 < size ? data[i + 1] << 8 : 0);
    return Fold(sum);
}

// A sum of bytes that start at an odd offset pairs each with its other
// neighbour: the same sum times 256, which modulo 0xFFFF swaps its bytes.
uint64_t AtOffset(uint64_t sum, uint64_t offset) {
    return offset % 2 == 0 ? sum : ((sum << 8) | (sum >> 8)) & 0xFFFF;
}

}  // namespace

ImageCheck CheckLauncherImage(const uint8_t* image, size_t size, uint32_t* searchStart) {
    *searchStart = 0;
    // The launcher's own rules first, over what its probe would read.
    uint32_t start = 0;
    const ProbeStop stop = ProbeHeaders(image, size < HEADER_BLOCK_SIZE ? size : HEADER_BLOCK_SIZE, &start);
    switch (stop) {
        case ProbeStop::NoMz: return ImageCheck::NoMzHeader;
        case ProbeStop::LfanewTooLarge:
        case ProbeStop::HeadersPastEnd: return ImageCheck::HeaderOutsideBlock;
        case ProbeStop::NoPeSignature: return ImageCheck::NoPeSignature;
        case ProbeStop::SectionTableOutside:
        case ProbeStop::None: break;
    }
    // The signature was there, so the 264 bytes from it are too: the view holds the
    // file header and the magic whatever it makes of the directories.
    const MemoryFile file{image, size};
    PeView view;
    ReadPeView(MemoryReader(&file), &view);
    if (view.machine != 0x8664 || view.magic != PE32_PLUS_MAGIC) return ImageCheck::Not64Bit;
    if (view.optionalSize != SECTION_TABLE_OFFSET - 24) return ImageCheck::OptionalHeaderSize;
    if (stop == ProbeStop::SectionTableOutside) return ImageCheck::SectionTableOutside;
    if (start == 0) return ImageCheck::NoRawData;
    *searchStart = start;
    if (start > size) return ImageCheck::Truncated;
    // The archive written at the cut would overwrite the headers the launcher reads.
    const uint64_t end = view.sectionTable + uint64_t{view.sectionCount} * SECTION_HEADER_SIZE;
    if (start < end) return ImageCheck::CutInsideHeaders;
    return ImageCheck::Ok;
}

void ClearTrailerReferences(uint8_t* image, uint32_t cut, bool* signature, bool* symbols) {
    const MemoryFile file{image, cut};
    const PeReader reader = MemoryReader(&file);
    PeView view;
    ReadPeView(reader, &view);  // the image passed CheckLauncherImage
    uint8_t* symbolTable = image + view.lfanew + 12;
    *symbols = Le32(symbolTable) >= cut;
    if (*symbols) std::memset(symbolTable, 0, 8);  // the pointer and the symbol count
    uint32_t offset = 0;  // a file offset, not an RVA
    uint32_t length = 0;
    *signature = ReadPeDirectory(reader, view, DIRECTORY_CERTIFICATES, &offset, &length) == PeRead::Ok &&
                 offset != 0 && length != 0 && offset >= cut;
    if (*signature) std::memset(image + view.directories + DIRECTORY_CERTIFICATES * 8, 0, 8);
}

void ChecksumAppend(PeChecksum* checksum, const uint8_t* data, size_t size) {
    checksum->sum = Fold(checksum->sum + AtOffset(WordSum(data, size), checksum->length));
    checksum->length += size;
}

void ChecksumPatch(PeChecksum* checksum, uint64_t offset, const uint8_t* data, size_t size) {
    checksum->sum = Fold(checksum->sum + AtOffset(WordSum(data, size), offset));
}

uint32_t ChecksumValue(const PeChecksum& checksum) {
    return static_cast<uint32_t>(Fold(checksum.sum) + checksum.length);
}
