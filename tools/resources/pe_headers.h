// The header fields the resource writer reads and rewrites, at their offsets
// in the image, and the section table as records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/pe_view.h"
#include "base/bytes.h"

struct PeSectionHeader {
    size_t at;  // offset of the 40-byte header in the image
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawPointer;
    uint32_t characteristics;
};

struct PeHeaders {
    size_t fileHeader;   // offset of the COFF file header (after "PE\0\0")
    size_t optional;     // offset of the optional header
    size_t directories;  // offset of the data directories
    uint32_t directoryCount;
    uint32_t sectionAlignment;
    uint32_t fileAlignment;
    uint32_t headersSize;  // SizeOfHeaders
    std::vector<PeSectionHeader> sections;
};

// False when the headers or the section table do not fit in the image.
bool ReadPeHeaders(const uint8_t* image, size_t size, PeHeaders* headers);

inline uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return alignment == 0 ? value : (value + alignment - 1) / alignment * alignment;
}
