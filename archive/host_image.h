// The host image probe and the search for the appended archive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/long_path.h"
#include "platform/platform.h"

struct HostImage {
    char16_t modulePath[PATH_CAPACITY];  // the executable's own path, plain form
    uint32_t searchStart;                // raw end of the section that starts last in the file
    uint64_t fileSize;                   // 0 when the platform does not report it
};

constexpr size_t HEADER_BLOCK_SIZE = 4096;  // the probe reads no further
constexpr uint32_t SECTION_TABLE_OFFSET = 264;  // signature, file header, 64-bit optional header
constexpr uint32_t SECTION_HEADER_SIZE = 40;
constexpr uint32_t MAX_LFANEW = HEADER_BLOCK_SIZE - SECTION_TABLE_OFFSET;  // 3832

// Why headers fail the probe, in the order the probe checks them.
enum class ProbeStop {
    None,
    NoMz,                 // shorter than 64 bytes or no "MZ"
    LfanewTooLarge,       // e_lfanew leaves no room for the headers in the block
    HeadersPastEnd,       // the file ends before the section table starts
    NoPeSignature,        // no "PE\0\0" at e_lfanew
    SectionTableOutside,  // the section table runs past the block or the file
};

// The probe's rules over the first got bytes of a file (at most the block):
// the table is read at e_lfanew + 264 whatever the optional header's size says
// and the magic is not looked at. On None, searchStart is the raw end of the
// section whose raw data starts last (the first of equal starts; a start of 0
// never counts; the sum wraps modulo 2^32), 0 when there is none.
ProbeStop ProbeHeaders(const uint8_t* block, size_t got, uint32_t* searchStart);

// Reads the PE headers from the start of the open executable and sets
// searchStart and fileSize. Moves the file position. False when the file
// cannot be read or its headers fail the checks.
bool ProbeHostImage(PlatFile file, HostImage* image);

// Scans file forward from image.searchStart for the first valid 7z start
// header within 4 MiB and yields its absolute offset. Moves the file position.
bool FindArchiveStart(PlatFile file, const HostImage& image, uint64_t* offset);

constexpr uint32_t ARCHIVE_SEARCH_WINDOW = 4194304;
// Windows starts no executable file this large or larger: whatever it holds,
// the launcher never runs (the packager's tools refuse to write one).
constexpr uint64_t WINDOWS_START_LIMIT = 1ull << 32;
constexpr uint32_t START_HEADER_SIZE = 32;
