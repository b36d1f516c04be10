// The archive reader: the decoder's file and look-ahead streams over the
// executable's handle, the allocator pair over the C heap and the database,
// and the read buffer of the run's CRC-32 file checks (archive/file_crc.h).
#pragma once

#include <cstddef>
#include <cstdint>

// Built for anything but Windows, the SDK's headers define some Windows error
// names as errno values (ERROR_INVALID_PARAMETER as EINVAL, ...). The launcher
// means the Windows codes everywhere, so those definitions stay inside.
#pragma push_macro("ERROR_FILE_NOT_FOUND")
#pragma push_macro("ERROR_PATH_NOT_FOUND")
#pragma push_macro("ERROR_INVALID_PARAMETER")
#pragma push_macro("ERROR_INVALID_FUNCTION")
#pragma push_macro("ERROR_ALREADY_EXISTS")
#pragma push_macro("ERROR_FILE_EXISTS")
#pragma push_macro("ERROR_DISK_FULL")
extern "C" {
#include "7z.h"
#include "7zCrc.h"
}
#pragma pop_macro("ERROR_DISK_FULL")
#pragma pop_macro("ERROR_FILE_EXISTS")
#pragma pop_macro("ERROR_ALREADY_EXISTS")
#pragma pop_macro("ERROR_INVALID_FUNCTION")
#pragma pop_macro("ERROR_INVALID_PARAMETER")
#pragma pop_macro("ERROR_PATH_NOT_FOUND")
#pragma pop_macro("ERROR_FILE_NOT_FOUND")

#include "archive/file_crc.h"
#include "platform/platform.h"

// The decoder's seekable input over our file layer. Keeps the platform code of
// its last read or seek; the decoder sees only SZ_ERROR_READ for any failure.
struct FileInStream {
    ISeekInStream vt;
    PlatFile file;
    uint32_t lastError;
};

constexpr size_t LOOK_BUFFER_SIZE = 32768;

struct ArchiveReader {
    FileInStream fileStream;
    CLookToRead2 lookStream;  // exact mode; its buffer comes from the heap directly
    ISzAlloc allocMain;
    ISzAlloc allocTemp;
    CSzArEx db;
    CheckBuffer check;  // every CRC file check of the run reads through it
};

// Empty database, allocator pair, file stream over file, look-ahead stream
// and check buffer without their buffers. Cannot fail.
void ArchiveReaderSetUp(ArchiveReader* reader, PlatFile file);
// Allocates the 32 KiB look-ahead buffer, then the checks' read buffer; false
// when out of memory (whatever was allocated goes with ArchiveReaderClose).
bool ArchiveReaderAllocBuffers(ArchiveReader* reader);
// SzArEx_Open at the stream's current position; on failure the partly read
// database is freed. False on failure, with the decoder's result code in *code
// (SZ_OK on success; code may be null).
bool ArchiveReaderOpen(ArchiveReader* reader, SRes* code);
// SzArEx_Free, the look-ahead and the check buffer; safe to call more than
// once. Does not close the file.
void ArchiveReaderClose(ArchiveReader* reader);

// Entry i's UTF-16 name with its terminator in a fresh heap buffer (*name null
// when the archive records no names or the length is 0). False only when the
// buffer cannot be allocated.
bool CopyEntryName(const CSzArEx* db, uint32_t index, char16_t** name);

// Entry i's unpacked size, from the unpack positions.
uint64_t EntrySize(const CSzArEx* db, uint32_t index);
bool EntryIsDir(const CSzArEx* db, uint32_t index);
// The recorded CRC-32 value (0 when none is recorded) and whether one is.
uint32_t EntryCrc(const CSzArEx* db, uint32_t index, bool* defined);

struct DecodedEntry {
    uint8_t* buffer;     // the whole unpacked folder; freed by FreeDecodedEntry
    size_t bufferSize;
    size_t offset;       // the entry's bytes inside buffer
    size_t size;
};

// Decodes the folder that holds the entry afresh (no cache between calls),
// checks the entry's range and recorded CRC. An entry without data yields no
// buffer and size 0. False on failure, with the decoder's result code in *code
// (SZ_OK on success; code may be null). The buffer is freed by
// FreeDecodedEntry, also after a failure.
bool DecodeEntryFolder(ArchiveReader* reader, uint32_t index, DecodedEntry* out, SRes* code);
void FreeDecodedEntry(ArchiveReader* reader, DecodedEntry* entry);

// Frees the decoded folder on every way out of an entry.
struct DecodeGuard {
    ArchiveReader* reader;
    DecodedEntry entry{};
    explicit DecodeGuard(ArchiveReader* owner) : reader(owner) {}
    DecodeGuard(const DecodeGuard&) = delete;
    DecodeGuard& operator=(const DecodeGuard&) = delete;
    ~DecodeGuard() { FreeDecodedEntry(reader, &entry); }
};
