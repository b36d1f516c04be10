#include "tests/support/pe_image.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { PutLe16(&b[at], v); }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { PutLe32(&b[at], v); }

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

std::vector<uint8_t> MakeLauncherImageWithStrings(const std::vector<std::pair<int, std::u16string>>& strings) {
    // Root, type (6) and name (block 1) directories with one entry each, the
    // language directory, the data entry, then the block of 16 counted strings.
    std::vector<uint8_t> rsrc(0x80, 0);
    auto directory = [&](size_t at, uint32_t id, uint32_t target) {
        Put16(rsrc, at + 14, 1);
        Put32(rsrc, at + 16, id);
        Put32(rsrc, at + 20, target);
    };
    directory(0x00, 6, 0x80000000u | 0x18);
    directory(0x18, 1, 0x80000000u | 0x30);
    directory(0x30, 0x409, 0x48);
    for (int id = 0; id < 16; ++id) {
        std::u16string text;
        for (const auto& s : strings) {
            if (s.first == id) text = s.second;
        }
        rsrc.push_back(static_cast<uint8_t>(text.size()));
        rsrc.push_back(static_cast<uint8_t>(text.size() >> 8));
        for (const char16_t c : text) {
            rsrc.push_back(static_cast<uint8_t>(c));
            rsrc.push_back(static_cast<uint8_t>(c >> 8));
        }
    }
    const uint32_t textSize = 0x1200;
    const uint32_t dataSize = 0x600;
    const uint32_t rsrcAt = 0x400 + textSize + dataSize;
    const uint32_t rsrcSize = static_cast<uint32_t>((rsrc.size() + 0x1FF) & ~static_cast<size_t>(0x1FF));
    Put32(rsrc, 0x48, rsrcAt + 0x80);  // the block's RVA
    Put32(rsrc, 0x4C, static_cast<uint32_t>(rsrc.size() - 0x80));
    rsrc.resize(rsrcSize, 0);

    std::vector<uint8_t> image = MakePeImage({{textSize, 0x400}, {dataSize, 0x400 + textSize}, {rsrcSize, rsrcAt}});
    const size_t optional = 0x80 + 24;
    Put32(image, optional + 108, 16);             // NumberOfRvaAndSizes
    Put32(image, optional + 112 + 16, rsrcAt);    // the resource directory
    Put32(image, optional + 112 + 20, rsrcSize);
    for (size_t i = 0; i < 3; ++i) {
        const size_t at = 0x80 + 264 + i * 40;
        Put32(image, at + 8, image[at + 16] | (image[at + 17] << 8) | (image[at + 18] << 16));  // VirtualSize
        Put32(image, at + 12, image[at + 20] | (image[at + 21] << 8) | (image[at + 22] << 16));  // VirtualAddress
    }
    std::copy(rsrc.begin(), rsrc.end(), image.begin() + rsrcAt);
    return image;
}

uint32_t DefinedPeChecksum(const std::vector<uint8_t>& file, size_t field) {
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        // The field's four bytes count as zero, wherever it starts.
        auto byte = [&](size_t at) { return at < file.size() && (at < field || at >= field + 4) ? file[at] : 0u; };
        sum += byte(i) | (byte(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(file.size());
}

std::vector<uint8_t> MakeRuntimeImage(const DllOptions& o) {
    std::vector<uint8_t> b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 60, 0x80);
    std::memcpy(b.data() + 0x80, "PE\0\0", 4);
    Put16(b, 0x84, o.machine);
    Put16(b, 0x86, 1);
    Put16(b, 0x94, 240);
    Put16(b, 0x96, static_cast<uint16_t>(0x0022 | (o.dll ? 0x2000 : 0)));
    const size_t opt = 0x98;
    Put16(b, opt, o.magic);
    Put32(b, opt + 32, 0x1000);
    Put32(b, opt + 36, 0x200);
    Put32(b, opt + 56, 0x2000);
    Put32(b, opt + 60, 0x200);
    Put16(b, opt + 68, 2);
    Put32(b, opt + 108, 16);
    Put32(b, opt + 112, 0x1000);  // export directory
    Put32(b, opt + 116, 0x60);
    const size_t section = opt + 240;
    std::memcpy(b.data() + section, ".edata", 6);
    Put32(b, section + 8, 0x200);
    Put32(b, section + 12, 0x1000);
    Put32(b, section + 16, 0x200);
    Put32(b, section + 20, 0x200);
    Put32(b, 0x200 + 24, 1);       // one name
    Put32(b, 0x200 + 32, 0x1040);  // its RVA array
    Put32(b, 0x240, 0x1050);
    std::memcpy(b.data() + 0x250, o.exportName, std::strlen(o.exportName) + 1);
    if (o.import != nullptr) {
        Put32(b, opt + 112 + 8, 0x1100);  // import directory: one descriptor, then the empty one
        Put32(b, opt + 116 + 8, 40);
        Put32(b, 0x300 + 12, 0x1140);
        std::memcpy(b.data() + 0x340, o.import, std::strlen(o.import) + 1);
    }
    if (o.delayImport != nullptr) {
        // Directory 13: one descriptor, then the empty one that ends the table.
        const uint32_t imageBase = o.delayVaBased ? 0x10000000u : 0;
        Put32(b, opt + 24, imageBase);
        Put32(b, opt + 112 + 13 * 8, 0x1180);
        Put32(b, opt + 116 + 13 * 8, 64);
        Put32(b, 0x380, o.delayVaBased ? 0 : 1);  // attributes: RVA-based
        Put32(b, 0x384, imageBase + 0x11C0);
        std::memcpy(b.data() + 0x3C0, o.delayImport, std::strlen(o.delayImport) + 1);
    }
    return b;
}
