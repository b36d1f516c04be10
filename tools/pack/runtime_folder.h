// The runtime library's folder: BCJ2 splits the x86-64 code into its main
// stream and the call and jump targets, each compressed with LZMA by the LZMA
// SDK's encoders at the settings 7zz uses for
// -m0=BCJ2 -m1=LZMA:d25 -m2=LZMA:d19 -m3=LZMA:d19, which gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/pack/byte_buffer.h"
#include "tools/pack/package_writer.h"

// The folder's coders as 7z lists them: the jump and call streams' LZMA, the
// main stream's LZMA, then BCJ2 reading the three and the range coder's stream.
constexpr int RUNTIME_CODERS = 4;
constexpr int RUNTIME_PACK_STREAMS = 4;
constexpr size_t LZMA_PROPS_BYTES = 5;

struct RuntimeFolder {
    // In the folder's pack stream order: the main stream's LZMA, BCJ2's range
    // coder stream (stored as it is), the call stream's LZMA, the jump stream's.
    ByteBuffer packed[RUNTIME_PACK_STREAMS];
    uint8_t lzmaProps[3][LZMA_PROPS_BYTES];  // of the coders jump, call, main
    uint64_t unpackSizes[RUNTIME_CODERS];    // each coder's output: jump, call, main, the library
};

// Encodes size bytes of the runtime library. progress gets the library's
// bytes done (of total, which the caller's other work is part of).
PackResult EncodeRuntimeFolder(const uint8_t* runtime, size_t size, const PackProgress& progress, uint64_t total,
                               RuntimeFolder* folder);

uint64_t PackedSize(const RuntimeFolder& folder);
