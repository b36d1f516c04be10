// An image's bytes as the inspector's readers take them: the headers through
// the one PE view and the RVAs its section table maps. Every read is checked
// against the size given: the input is any file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/pe_view.h"
#include "base/bytes.h"

struct PeBytes {
    MemoryFile file;  // bytes and size
    PeView view;
};

// The headers of the image in bytes; false unless they read whole with a 32- or 64-bit optional header.
bool ReadPeBytes(const uint8_t* bytes, size_t size, PeBytes* image);

// The file offset of an RVA through the section table; false when no section's raw data holds it.
bool OffsetOfRva(const PeBytes& image, uint32_t rva, size_t* offset);

// The data directory at index: its RVA and size; false when there is none or its RVA is 0.
bool Directory(const PeBytes& image, uint32_t index, uint32_t* rva, uint32_t* length);
