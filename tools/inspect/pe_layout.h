// What the PE readers share: bounds checks, little-endian fields and the
// section table that maps RVAs to file offsets. Every read is checked against
// the size given: the input is any file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"

// The sections of an image, to map RVAs to file offsets.
struct Sections {
    size_t table = 0;
    uint32_t count = 0;
};

// The file offset of an RVA through the section table; false when no section's raw data holds it.
bool OffsetOfRva(const uint8_t* bytes, size_t size, size_t table, uint32_t sections, uint32_t rva, size_t* offset);

// The optional header's offset, the data directories' offset and count (as
// many as fit the optional header) and the section table of an image.
bool Headers(const uint8_t* bytes, size_t size, size_t* optional, size_t* directories, uint32_t* directoryCount,
             Sections* sections);

// The data directory at index: its RVA and size; false when there is none or its RVA is 0.
bool Directory(const uint8_t* bytes, size_t size, size_t directories, uint32_t count, uint32_t index, uint32_t* rva,
               uint32_t* length);
