// The file layer under the archive decoder: opening by long path, reads and
// writes capped at 4 MiB per platform call, and seeks. Each returns false on
// failure with the platform's error code in *error (0 on success; error may
// be null).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/owned.h"
#include "platform/platform.h"

// No single platform read or write asks for more than this.
constexpr uint32_t MAX_IO_SIZE = 4194304;
// Sequential scans (archive search, look-ahead stream, CRC checks) use this buffer size.
constexpr size_t SCAN_BUFFER_SIZE = 32768;

// Opens an existing file for reading with read sharing. The handle is stored
// (also when invalid; whatever file held before is closed).
bool OpenLongFile(OwnedFile* file, const char16_t* path, uint32_t* error);

// Reads up to size bytes, going on after partial reads and stopping at a read
// that brings 0 bytes (end of file: a short count, no error). A failed read
// ends it with the last error; a failure whose last error is 0 is a short success.
bool FileRead(PlatFile file, void* buffer, size_t size, size_t* read, uint32_t* error);

// Writes size bytes in pieces of at most MAX_IO_SIZE. A write that reports
// 0 bytes written is a failure (ERROR_WRITE_FAULT when the platform gave no reason).
bool FileWrite(PlatFile file, const void* buffer, size_t size, size_t* written, uint32_t* error);

// Origin 0 = begin, 1 = current, 2 = end; anything else fails with ERROR_INVALID_PARAMETER.
// On success position holds the new absolute position.
bool FileSeek(PlatFile file, int64_t* position, uint32_t origin, uint32_t* error);
