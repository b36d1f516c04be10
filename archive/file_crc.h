// CRC-32 checks over files: the payload in place, the library's up-to-date
// test and its copy check. They read sequentially in pieces of up to 256 KiB
// through one buffer that the run allocates once, and sum with the widest
// carry-less multiply the CPU has: 512, 256 or 128 bits, else a table.
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
void CheckBufferFree(CheckBuffer* buffer);

// The caller's buffer, or one of this scope's own, freed with it: for the
// functions that take an optional CheckBuffer.
struct CheckBufferInUse {
    CheckBuffer own{nullptr, 0};
    CheckBuffer* use;
    explicit CheckBufferInUse(CheckBuffer* given) : use(given) {
        if (use == nullptr || use->bytes == nullptr) {
            CheckBufferAlloc(&own);
            use = &own;
        }
    }
    CheckBufferInUse(const CheckBufferInUse&) = delete;
    CheckBufferInUse& operator=(const CheckBufferInUse&) = delete;
    ~CheckBufferInUse() { CheckBufferFree(&own); }
    bool Ready() const { return use->bytes != nullptr; }
};

// The standard CRC-32 (the one 7z records) of size more bytes after the value
// crc of the bytes before them (0 to begin). The kernel is chosen at the first
// call (Crc32PickKernel) and kept for the rest of the process.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

// Builds the LZMA SDK's CRC tables once per process (the start header's check
// and the decoder's use them, as does the table kernel). Safe to call again.
void SdkCrcTablesReady();

// The CRC-32 kernels, widest first. The 512-bit and 128-bit ones are ISA-L's,
// the table is the SDK's CrcUpdate; the 256-bit one is ours (crc32_avx2.cpp):
// ISA-L has none, and most desktop CPUs (no AVX-512) have 256-bit VPCLMULQDQ.
enum class Crc32Kernel {
    Vpclmul512,   // VPCLMULQDQ over AVX-512 (with the AVX-512 extensions ISA-L asks for)
    Vpclmul256,   // VPCLMULQDQ with AVX2
    PclmulAvx,    // 128-bit PCLMULQDQ, AVX encoding
    PclmulSse41,  // 128-bit PCLMULQDQ with SSE4.1
    Table,        // any x86-64 CPU: the SDK's tables
};
constexpr int CRC32_KERNEL_COUNT = 5;

// Whether this CPU has the instructions and the OS saves the registers the kernel uses.
bool Crc32KernelRuns(Crc32Kernel kernel);
// The dispatcher's rule: the first kernel of the list above that runs here.
Crc32Kernel Crc32PickKernel();
// The kernel Crc32Update uses (choosing it if no call has yet).
Crc32Kernel Crc32KernelInUse();
// A short name for tests and the benchmark ("vpclmul-avx2", ...).
const char* Crc32KernelName(Crc32Kernel kernel);
// For tests and the benchmark only, never called by the launcher: makes
// Crc32Update use kernel from now on; false, and nothing changed, when it does
// not run here.
bool Crc32ForceKernel(Crc32Kernel kernel);

// Each check reads through buffer, or when it is null (or not allocated)
// through one of its own for the call, which then fails as a read would when
// it cannot be allocated.

// CRC-32 of everything an open file holds, read from its start; the position is
// back at the start afterwards. False on failure, with the platform's error
// code in *error (may be null); after a failing read crc covers what came
// before it.
bool HandleCrc(PlatFile file, uint32_t* crc, uint32_t* error, CheckBuffer* buffer = nullptr);
// Whether bytes [offset, offset + size) of the open file can all be read and have crc.
bool RegionCrcMatches(PlatFile file, uint64_t offset, uint64_t size, uint32_t crc, CheckBuffer* buffer = nullptr);
