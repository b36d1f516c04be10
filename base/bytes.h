// Little-endian fields in byte buffers, as PE images, 7z archives and
// resources store them, and the bounds check every reader of untrusted bytes
// makes first. Byte by byte: no alignment and no host byte order assumed.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether length bytes from at lie within size bytes, without overflow.
inline bool Has(uint64_t size, uint64_t at, uint64_t length) { return at <= size && length <= size - at; }

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

// The low count bytes of value (at most 8), lowest first.
inline void PutLe(uint8_t* p, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void PutLe16(uint8_t* p, uint16_t value) { PutLe(p, value, 2); }
inline void PutLe32(uint8_t* p, uint32_t value) { PutLe(p, value, 4); }
inline void PutLe64(uint8_t* p, uint64_t value) { PutLe(p, value, 8); }
