#include "tests/support/picture.h"

#include <stb_image_write.h>

#include <random>

std::vector<uint8_t> PngBytes(int width, int height, uint32_t seed) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, 0x80);
    if (seed != 0) {
        std::mt19937 noise(seed);
        for (uint8_t& p : pixels) p = static_cast<uint8_t>(noise() | 1);
    }
    std::vector<uint8_t> png;
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            auto* out = static_cast<std::vector<uint8_t>*>(context);
            out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
        },
        &png, width, height, 4, pixels.data(), width * 4);
    return png;
}
