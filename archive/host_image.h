// The host image probe and the search for the appended archive.
#pragma once

#include <cstdint>

#include "base/long_path.h"
#include "platform/platform.h"

struct HostImage {
    char16_t modulePath[PATH_CAPACITY];  // the executable's own path, plain form
    uint32_t searchStart;                // raw end of the section that starts last in the file
    uint64_t fileSize;                   // 0 when the platform does not report it
};

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
