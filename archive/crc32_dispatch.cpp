// Which CRC-32 kernel sums: the widest the CPU has and the OS saves the
// registers of, chosen once at the first sum.
#include <atomic>

#include <7zCrc.h>

#if defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include "archive/crc32_avx2.h"
#include "archive/file_crc.h"

extern "C" {
// ISA-L's kernels, called directly: its own dispatcher has no 256-bit kernel
// to give the CPUs without AVX-512.
uint32_t crc32_gzip_refl_by16_10(uint32_t crc, const unsigned char* data, uint64_t size);
uint32_t crc32_gzip_refl_by8_02(uint32_t crc, const unsigned char* data, uint64_t size);
uint32_t crc32_gzip_refl_by8(uint32_t crc, const unsigned char* data, uint64_t size);
}

namespace {

using Kernel = uint32_t (*)(uint32_t, const unsigned char*, uint64_t);

// The SDK's table CRC (slicing over several tables), which keeps the running
// value complemented. Its tables are built here at the first call, so a sum
// never depends on a caller having done it first.
uint32_t TableKernel(uint32_t crc, const unsigned char* data, uint64_t size) {
    SdkCrcTablesReady();
    return CRC_GET_DIGEST(CrcUpdate(crc ^ CRC_INIT_VAL, data, static_cast<size_t>(size)));
}

}  // namespace

void SdkCrcTablesReady() {
    static const bool tables = (CrcGenerateTable(), true);
    (void)tables;
}

namespace {

struct KernelEntry {
    const char* name;
    Kernel sum;
};

// In the order of Crc32Kernel.
const KernelEntry KERNELS[CRC32_KERNEL_COUNT] = {
    {"vpclmul-avx512", crc32_gzip_refl_by16_10},
    {"vpclmul-avx2", Crc32VpclmulAvx2},
    {"pclmul-avx", crc32_gzip_refl_by8_02},
    {"pclmul-sse4.1", crc32_gzip_refl_by8},
    {"table", TableKernel},
};

// -1 until the first sum chooses.
std::atomic<int> inUse{-1};

struct CpuidRegisters {
    uint32_t eax, ebx, ecx, edx;
};

CpuidRegisters Cpuid(uint32_t leaf) {
    CpuidRegisters r{0, 0, 0, 0};
#if defined(_MSC_VER)
    int values[4];
    __cpuidex(values, static_cast<int>(leaf), 0);
    r = CpuidRegisters{static_cast<uint32_t>(values[0]), static_cast<uint32_t>(values[1]),
                       static_cast<uint32_t>(values[2]), static_cast<uint32_t>(values[3])};
#else
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_count(leaf, 0, &a, &b, &c, &d) != 0) r = CpuidRegisters{a, b, c, d};
#endif
    return r;
}

// Which register states the OS saves across thread switches (XCR0).
uint64_t OsSavedState() {
#if defined(_MSC_VER)
    return _xgetbv(0);
#else
    uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
#endif
}

struct CpuCan {
    bool pclmulSse41;
    bool pclmulAvx;
    bool vpclmulAvx2;
    bool vpclmulAvx512;
};

bool Bits(uint64_t value, uint64_t mask) { return (value & mask) == mask; }

CpuCan Query() {
    CpuCan can{false, false, false, false};
    const uint32_t maxLeaf = Cpuid(0).eax;
    if (maxLeaf < 1) return can;
    const CpuidRegisters one = Cpuid(1);
    constexpr uint32_t PCLMULQDQ = 1u << 1, SSE41 = 1u << 19, OSXSAVE = 1u << 27, AVX = 1u << 28;
    can.pclmulSse41 = Bits(one.ecx, PCLMULQDQ | SSE41);
    // XGETBV exists only when the OS turned it on (OSXSAVE).
    const uint64_t saved = Bits(one.ecx, OSXSAVE) ? OsSavedState() : 0;
    constexpr uint64_t XMM_YMM = 0x6, OPMASK_ZMM = 0xE0;
    can.pclmulAvx = can.pclmulSse41 && Bits(one.ecx, AVX) && Bits(saved, XMM_YMM);
    if (!can.pclmulAvx || maxLeaf < 7) return can;
    const CpuidRegisters seven = Cpuid(7);
    constexpr uint32_t AVX2 = 1u << 5, VPCLMULQDQ = 1u << 10;
    can.vpclmulAvx2 = Bits(seven.ebx, AVX2) && Bits(seven.ecx, VPCLMULQDQ);
    // What ISA-L's own dispatcher asks before it takes its AVX-512 kernel:
    // F, DQ, CD, BW, VL; VBMI2, GFNI, VAES, VPCLMULQDQ, VNNI, BITALG, VPOPCNTDQ.
    constexpr uint32_t AVX512_EBX = (1u << 16) | (1u << 17) | (1u << 28) | (1u << 30) | (1u << 31);
    constexpr uint32_t AVX512_ECX = (1u << 6) | (1u << 8) | (1u << 9) | (1u << 10) | (1u << 11) | (1u << 12) |
                                    (1u << 14);
    can.vpclmulAvx512 = can.vpclmulAvx2 && Bits(saved, OPMASK_ZMM) && Bits(seven.ebx, AVX512_EBX) &&
                        Bits(seven.ecx, AVX512_ECX);
    return can;
}

bool Runs(const CpuCan& can, Crc32Kernel kernel) {
    switch (kernel) {
        case Crc32Kernel::Vpclmul512: return can.vpclmulAvx512;
        case Crc32Kernel::Vpclmul256: return can.vpclmulAvx2;
        case Crc32Kernel::PclmulAvx: return can.pclmulAvx;
        case Crc32Kernel::PclmulSse41: return can.pclmulSse41;
        case Crc32Kernel::Table: return true;
    }
    return false;
}

int Choose() {
    int chosen = inUse.load(std::memory_order_relaxed);
    if (chosen < 0) {
        chosen = static_cast<int>(Crc32PickKernel());
        inUse.store(chosen, std::memory_order_relaxed);
    }
    return chosen;
}

}  // namespace

bool Crc32KernelRuns(Crc32Kernel kernel) { return Runs(Query(), kernel); }

Crc32Kernel Crc32PickKernel() {
    const CpuCan can = Query();
    for (int i = 0; i < CRC32_KERNEL_COUNT; ++i) {
        if (Runs(can, static_cast<Crc32Kernel>(i))) return static_cast<Crc32Kernel>(i);
    }
    return Crc32Kernel::Table;
}

Crc32Kernel Crc32KernelInUse() { return static_cast<Crc32Kernel>(Choose()); }

const char* Crc32KernelName(Crc32Kernel kernel) {
    const int i = static_cast<int>(kernel);
    return i >= 0 && i < CRC32_KERNEL_COUNT ? KERNELS[i].name : "unknown";
}

bool Crc32ForceKernel(Crc32Kernel kernel) {
    if (!Crc32KernelRuns(kernel)) return false;
    inUse.store(static_cast<int>(kernel), std::memory_order_relaxed);
    return true;
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
    if (size == 0) return crc;
    return KERNELS[Choose()].sum(crc, static_cast<const unsigned char*>(data), size);
}
