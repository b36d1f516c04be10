#include "tests/support/pe_image.h"

#include <algorithm>

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<uint8_t> MakePeImage(const std::vector<PeSection>& sections, const PeImageOptions& options) {
    const size_t headersEnd = static_cast<size_t>(options.lfanew) + 264 + sections.size() * 40;
    size_t size = headersEnd;
    for (const PeSection& s : sections) {
        if (s.rawPointer != 0) size = std::max(size, static_cast<size_t>(s.rawPointer) + s.rawSize);
    }
    if (options.fileSize != 0) size = options.fileSize;

    std::vector<uint8_t> image(size);
    // Section data: a pattern that never holds 0x37, so no signature can appear.
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(0x40 + (i % 31));
    // Headers are zero except for the fields set below.
    std::fill(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(std::min(size, headersEnd)), 0);

    auto fits = [&](size_t at, size_t width) { return at + width <= size; };
    if (fits(0, 2)) Put16(image, 0, 0x5A4D);
    if (fits(60, 4)) Put32(image, 60, options.lfanew);
    const size_t pe = options.lfanew;
    if (fits(pe, 4)) Put32(image, pe, 0x00004550);
    if (fits(pe + 4, 2)) Put16(image, pe + 4, options.machine);
    if (fits(pe + 6, 2)) Put16(image, pe + 6, static_cast<uint16_t>(sections.size()));
    if (fits(pe + 20, 2)) Put16(image, pe + 20, 240);  // SizeOfOptionalHeader
    if (fits(pe + 24, 2)) Put16(image, pe + 24, options.magic);
    for (size_t i = 0; i < sections.size(); ++i) {
        const size_t at = pe + 264 + i * 40;
        if (fits(at, 8)) {
            image[at] = '.';
            image[at + 1] = static_cast<uint8_t>('a' + i % 26);
        }
        if (fits(at + 16, 4)) Put32(image, at + 16, sections[i].rawSize);
        if (fits(at + 20, 4)) Put32(image, at + 20, sections[i].rawPointer);
    }
    return image;
}

uint32_t ExpectedSearchStart(const std::vector<PeSection>& sections) {
    uint32_t largest = 0;
    uint32_t end = 0;
    for (const PeSection& s : sections) {
        if (s.rawPointer > largest) {
            largest = s.rawPointer;
            end = s.rawPointer + s.rawSize;
        }
    }
    return end;
}

std::vector<uint8_t> MakeLauncherImage(uint32_t textSize, uint32_t dataSize) {
    return MakePeImage({{textSize, 0x400}, {dataSize, 0x400 + textSize}});
}
