// The launcher image's part in the package: the fields that packing clears
// and the PE checksum, summed as the package is written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/pe_view.h"

// The optional header's CheckSum field, from the PE signature.
constexpr uint32_t CHECKSUM_FIELD = 24 + OPT_CHECKSUM;

// Clears the header fields that point at or past the cut, where the archive
// will lie: the certificate table of a launcher signed before packing and the
// COFF symbol table. Left in place, signing tools and signature checks would
// take archive bytes for a signature. image has passed CheckLauncherImage.
void ClearTrailerReferences(uint8_t* image, uint32_t cut, bool* signature, bool* symbols);

// The PE checksum of a file written in pieces: the ones' complement sum of its
// 16-bit little-endian words, plus its length.
struct PeChecksum {
    uint64_t sum = 0;     // ones' complement sum so far, folded to 16 bits
    uint64_t length = 0;  // bytes appended
};

// Adds the bytes that follow those added before.
void ChecksumAppend(PeChecksum* checksum, const uint8_t* data, size_t size);
// Adds bytes that replace zeros at offset, inside what was appended.
void ChecksumPatch(PeChecksum* checksum, uint64_t offset, const uint8_t* data, size_t size);
uint32_t ChecksumValue(const PeChecksum& checksum);
