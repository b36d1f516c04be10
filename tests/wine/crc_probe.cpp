// The CRC-32 kernels as the cross build compiles them (Windows x64 calling
// convention, our 256-bit kernel's stack), run under Wine: each kernel this CPU
// runs, forced, against the SDK's CrcCalc over every length 0-4096 at offsets
// 0-63 and a large buffer summed whole and in two pieces. Prints "picked=NAME"
// and one "kernel=NAME runs=0|1 wrong=N" line per kernel.
#include <7zCrc.h>

#include <cstdio>
#include <vector>

#include "archive/file_crc.h"

namespace {

uint32_t Sum(const std::vector<unsigned char>& data, size_t from, size_t size) {
    return Crc32Update(0, data.data() + from, size);
}

}  // namespace

int wmain(int, wchar_t**) {
    std::vector<unsigned char> data((1u << 20) + 4160);
    uint32_t state = 0x9E3779B9u;
    for (unsigned char& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    std::printf("picked=%s\n", Crc32KernelName(Crc32PickKernel()));

    CrcGenerateTable();
    std::vector<uint32_t> expected;
    for (size_t offset = 0; offset < 64; ++offset) {
        for (size_t length = 0; length <= 4096; ++length) expected.push_back(CrcCalc(data.data() + offset, length));
    }
    const uint32_t whole = CrcCalc(data.data(), data.size());

    for (int k = 0; k < CRC32_KERNEL_COUNT; ++k) {
        const Crc32Kernel kernel = static_cast<Crc32Kernel>(k);
        const bool runs = Crc32ForceKernel(kernel);
        size_t wrong = 0;
        if (runs) {
            size_t at = 0;
            for (size_t offset = 0; offset < 64; ++offset) {
                for (size_t length = 0; length <= 4096; ++length) {
                    if (Sum(data, offset, length) != expected[at++]) ++wrong;
                }
            }
            const size_t split = data.size() / 3 + 5;
            if (Sum(data, 0, data.size()) != whole) ++wrong;
            if (Crc32Update(Sum(data, 0, split), data.data() + split, data.size() - split) != whole) ++wrong;
        }
        std::printf("kernel=%s runs=%d wrong=%zu\n", Crc32KernelName(kernel), runs ? 1 : 0, wrong);
    }
    return 0;
}
