// The CRC-32 kernel of our own: 256-bit VPCLMULQDQ with AVX2, for the CPUs that
// have VPCLMULQDQ but no AVX-512 (ISA-L has no kernel for them). Only the
// dispatcher in crc32_dispatch.cpp calls it, after checking the CPU and the OS.
#pragma once

#include <cstdint>

// The standard CRC-32 of size bytes after the finished value crc of the bytes
// before them (0 to begin), as ISA-L's crc32_gzip_refl kernels take it.
uint32_t Crc32VpclmulAvx2(uint32_t crc, const unsigned char* data, uint64_t size);
