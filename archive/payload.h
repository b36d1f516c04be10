// Locating the payload entry inside the executable and checking it in place.
#pragma once

#include <cstdint>

#include "archive/archive_reader.h"
#include "base/names.h"
#include "base/outcome.h"

struct PayloadLocation {
    uint64_t offset;  // from the start of the executable
    uint64_t size;
};

enum class PayloadResult {
    Ok,
    NotFound,      // "Vorlane.Bin not found"
    OutOfRange,    // "Vorlane.Bin offset out of range"
    CrcError,      // "Vorlane.Bin CRC error"
    OutOfMemory,   // an entry name could not be allocated: "Memory allocation error"
};

// Visits every entry; the last entry named exactly "vorlane.bin" that has data
// is the payload. Its range must lie in the file and its bytes match the
// recorded CRC, read through the reader's check buffer. Shows nothing: the
// launch sequence turns the result into a message.
PayloadResult LocateAndCheckPayload(ArchiveReader* reader, PlatFile exe, uint64_t fileSize, PayloadLocation* location);

// The outcome a result ends the start with (Ok for Ok).
Outcome PayloadOutcome(PayloadResult result);
