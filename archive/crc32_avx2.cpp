// CRC-32 by folding with carry-less multiplies, 256 bits at a time.
//
// This file alone is compiled for AVX2 and VPCLMULQDQ (CMakeLists.txt), so it
// includes nothing that could leave an inline function compiled for those
// CPUs where another file's copy of it is expected: only the intrinsics.
//
// Notation: a polynomial over GF(2) of degree below w, "reflected in w bits",
// has the coefficient of x^d at bit w-1-d. The CRC is reflected (the first bit
// of a byte is its lowest), so 16 message bytes loaded little-endian are their
// polynomial reflected in 128 bits. A carry-less multiply of A and B reflected
// in 64 bits gives A*B*x reflected in 128 bits; the constants take that x out.
#include "archive/crc32_avx2.h"

#include <immintrin.h>

namespace {

// The generator, bit d the coefficient of x^d (x^32 included).
constexpr uint64_t GENERATOR = 0x104C11DB7u;

// x^n mod P.
constexpr uint64_t XPowMod(unsigned n) {
    uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if ((r >> 32) & 1) r ^= GENERATOR;
    }
    return r;
}

// floor(x^64 / P), the Barrett quotient (33 bits), by long division.
constexpr uint64_t X64DivP() {
    uint64_t quotient = 0;
    uint64_t window = uint64_t{1} << 32;  // the dividend's coefficients of x^d .. x^(d-32)
    for (int d = 64; d >= 32; --d) {
        if ((window >> 32) & 1) {
            quotient |= uint64_t{1} << (d - 32);
            window ^= GENERATOR;
        }
        window <<= 1;
    }
    return quotient;
}

constexpr uint64_t Reflect(uint64_t value, unsigned width) {
    uint64_t r = 0;
    for (unsigned i = 0; i < width; ++i) {
        if ((value >> i) & 1) r |= uint64_t{1} << (width - 1 - i);
    }
    return r;
}

// Moving a 128-bit value V = H*x^64 + L forward by n bits: V*x^n = H*x^(n+64) +
// L*x^n. H is the low quadword, multiplied by x^(n+63) mod P; L the high one,
// by x^(n-1) mod P (the multiply adds the missing x).
struct Fold {
    uint64_t low;
    uint64_t high;
};
constexpr Fold FoldBy(unsigned bits) { return Fold{Reflect(XPowMod(bits + 63), 64), Reflect(XPowMod(bits - 1), 64)}; }

constexpr Fold FOLD_2048 = FoldBy(2048);  // the main loop: eight 256-bit registers, 256 bytes
constexpr Fold FOLD_1024 = FoldBy(1024);
constexpr Fold FOLD_512 = FoldBy(512);
constexpr Fold FOLD_256 = FoldBy(256);
constexpr Fold FOLD_128 = FoldBy(128);
// The last 128 bits V become V*x^32 mod P in three steps: V*x^32 = H*x^96 +
// L*x^32 leaves 96 bits, their top 32 bits G times x^64 mod P leave 64 bits U,
// and U mod P is U's low half plus the low half of floor(U/x^32 * MU / x^32)*P.
constexpr uint64_t TO_96 = Reflect(XPowMod(95), 64);
constexpr uint64_t TO_64 = Reflect(XPowMod(63), 64);
constexpr uint64_t MU = Reflect(X64DivP(), 33);
constexpr uint64_t P = Reflect(GENERATOR, 33);

// Byte-wise table for inputs shorter than one 16-byte block.
struct Table {
    uint32_t entry[256];
};
constexpr Table MakeTable() {
    Table t{};
    const uint32_t reflected = static_cast<uint32_t>(Reflect(GENERATOR & 0xFFFFFFFFu, 32));
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ reflected : c >> 1;
        t.entry[i] = c;
    }
    return t;
}
constexpr Table TABLE = MakeTable();

// Loaded at r: a shuffle that moves bytes 16 - r up (0x80 clears a byte), whose
// set top bits mark the 16 - r low bytes; loaded at 16 + r: one that moves them
// r down.
alignas(16) constexpr unsigned char SHIFTS[48] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
};

inline __m128i Constants(Fold f) {
    return _mm_set_epi64x(static_cast<long long>(f.high), static_cast<long long>(f.low));
}

inline __m256i Constants256(Fold f) {
    return _mm256_set_epi64x(static_cast<long long>(f.high), static_cast<long long>(f.low),
                             static_cast<long long>(f.high), static_cast<long long>(f.low));
}

inline __m128i Fold128(__m128i v, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(v, k, 0x00), _mm_clmulepi64_si128(v, k, 0x11));
}

// Each 128-bit lane on its own.
inline __m256i Fold256(__m256i v, __m256i k) {
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(v, k, 0x00), _mm256_clmulepi64_epi128(v, k, 0x11));
}

inline __m256i Load256(const unsigned char* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline __m128i Load128(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// The 128 bits left after folding, as the finished CRC's complement.
inline uint32_t Reduce(__m128i v) {
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i t = _mm_xor_si128(_mm_clmulepi64_si128(v, _mm_cvtsi64_si128(static_cast<long long>(TO_96)), 0x00),
                              _mm_slli_si128(_mm_srli_si128(v, 8), 4));
    t = _mm_xor_si128(_mm_clmulepi64_si128(t, _mm_cvtsi64_si128(static_cast<long long>(TO_64)), 0x00), t);
    const __m128i u = _mm_srli_si128(t, 8);
    const __m128i barrett = _mm_set_epi64x(static_cast<long long>(P), static_cast<long long>(MU));
    const __m128i q = _mm_clmulepi64_si128(_mm_and_si128(u, low32), barrett, 0x00);
    const __m128i qp = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x10);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(u, qp), 1));
}

}  // namespace

uint32_t Crc32VpclmulAvx2(uint32_t crc, const unsigned char* data, uint64_t size) {
    uint32_t c = ~crc;
    if (size < 16) {
        for (uint64_t i = 0; i < size; ++i) c = TABLE.entry[(c ^ data[i]) & 0xFF] ^ (c >> 8);
        return ~c;
    }
    const unsigned char* p = data;
    const unsigned char* const end = data + size;
    const __m128i k128 = Constants(FOLD_128);
    __m128i x;
    if (size >= 256) {
        // Eight independent sums hide the multiply's latency; the CRC so far
        // enters as the first four bytes' complement.
        __m256i v0 = _mm256_xor_si256(Load256(p), _mm256_setr_epi32(static_cast<int>(c), 0, 0, 0, 0, 0, 0, 0));
        __m256i v1 = Load256(p + 32);
        __m256i v2 = Load256(p + 64);
        __m256i v3 = Load256(p + 96);
        __m256i v4 = Load256(p + 128);
        __m256i v5 = Load256(p + 160);
        __m256i v6 = Load256(p + 192);
        __m256i v7 = Load256(p + 224);
        p += 256;
        const __m256i k2048 = Constants256(FOLD_2048);
        while (end - p >= 256) {
            v0 = _mm256_xor_si256(Fold256(v0, k2048), Load256(p));
            v1 = _mm256_xor_si256(Fold256(v1, k2048), Load256(p + 32));
            v2 = _mm256_xor_si256(Fold256(v2, k2048), Load256(p + 64));
            v3 = _mm256_xor_si256(Fold256(v3, k2048), Load256(p + 96));
            v4 = _mm256_xor_si256(Fold256(v4, k2048), Load256(p + 128));
            v5 = _mm256_xor_si256(Fold256(v5, k2048), Load256(p + 160));
            v6 = _mm256_xor_si256(Fold256(v6, k2048), Load256(p + 192));
            v7 = _mm256_xor_si256(Fold256(v7, k2048), Load256(p + 224));
            p += 256;
        }
        const __m256i k1024 = Constants256(FOLD_1024);
        v4 = _mm256_xor_si256(Fold256(v0, k1024), v4);
        v5 = _mm256_xor_si256(Fold256(v1, k1024), v5);
        v6 = _mm256_xor_si256(Fold256(v2, k1024), v6);
        v7 = _mm256_xor_si256(Fold256(v3, k1024), v7);
        const __m256i k512 = Constants256(FOLD_512);
        v6 = _mm256_xor_si256(Fold256(v4, k512), v6);
        v7 = _mm256_xor_si256(Fold256(v5, k512), v7);
        const __m256i k256 = Constants256(FOLD_256);
        v7 = _mm256_xor_si256(Fold256(v6, k256), v7);
        while (end - p >= 32) {
            v7 = _mm256_xor_si256(Fold256(v7, k256), Load256(p));
            p += 32;
        }
        x = _mm_xor_si128(Fold128(_mm256_castsi256_si128(v7), k128), _mm256_extracti128_si256(v7, 1));
    } else {
        x = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(c)));
        p += 16;
    }
    while (end - p >= 16) {
        x = _mm_xor_si128(Fold128(x, k128), Load128(p));
        p += 16;
    }
    const uint64_t rest = static_cast<uint64_t>(end - p);
    if (rest > 0) {
        // The sum so far and the last rest bytes are 16 + rest bytes: the first
        // rest of them (moved to the top of a block whose lower bytes are zero,
        // which adds nothing) fold onto the last 16, which end with the last
        // 16 bytes of the input.
        const __m128i up = Load128(SHIFTS + rest);
        const __m128i down = Load128(SHIFTS + 16 + rest);
        const __m128i first = _mm_shuffle_epi8(x, up);
        const __m128i last = _mm_blendv_epi8(Load128(end - 16), _mm_shuffle_epi8(x, down), up);
        x = _mm_xor_si128(Fold128(first, k128), last);
    }
    return ~Reduce(x);
}
