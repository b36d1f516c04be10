// CRC-32 checks over files: the payload in place, the library's up-to-date
// test and its copy check. They read sequentially in pieces of up to 256 KiB
// through one buffer that the run allocates once, and sum with the CPU's
// carry-less multiply where it has one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// 256 KiB: measured fastest for a read followed by its CRC, natively and under
// Wine; a larger piece no longer stays in the core's cache between the read
// and the sum, and a 32 KiB one pays the per-read cost eight times as often.
constexpr size_t CHECK_PIECE_SIZE = 262144;

// The buffer the checks of a run read through. A plain record: bytes is null
// until allocated.
struct CheckBuffer {
    uint8_t* bytes;
    size_t size;
};

// Allocates CHECK_PIECE_SIZE bytes unless already allocated; false when out of memory.
bool CheckBufferAlloc(CheckBuffer* buffer);
// Frees it; safe to call more than once.
void CheckBufferRelease(CheckBuffer* buffer);

// The standard CRC-32 (the one 7z records) of size more bytes after the value
// crc of the bytes before them (0 to begin). ISA-L's kernels: at the first call
// they choose VPCLMULQDQ with AVX-512, PCLMULQDQ with AVX or SSE4.1, else a table.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

// Each check reads through buffer, or when it is null (or not allocated)
// through one of its own for the call, which then fails as a read would when
// it cannot be allocated.

// CRC-32 of everything an open file holds, read from its start; the position is
// back at the start afterwards. Returns 0 or the platform's error code; after a
// failing read crc covers what came before it.
uint32_t HandleCrc(PlatFile file, uint32_t* crc, CheckBuffer* buffer = nullptr);
// Whether bytes [offset, offset + size) of the open file can all be read and have crc.
bool RegionCrcMatches(PlatFile file, uint64_t offset, uint64_t size, uint32_t crc, CheckBuffer* buffer = nullptr);
