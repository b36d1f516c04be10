// PNG pictures for the icon tests, encoded by stb_image_write.
#pragma once

#include <cstdint>
#include <vector>

// A width x height RGBA picture as a PNG file: noise from seed, opaque enough
// everywhere; seed 0 gives one flat grey instead, which compresses to almost
// nothing however large the picture.
std::vector<uint8_t> PngBytes(int width, int height, uint32_t seed);
