#include "archive/host_image.h"

#include <cstring>

#include "archive/archive_reader.h"
#include "archive/file_layer.h"
#include "base/bytes.h"

namespace {

const uint8_t SIGNATURE[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};

// The first valid start header among the positions [0, filled - 33] of buffer.
bool ScanForHeader(const uint8_t* buffer, size_t filled, size_t* found) {
    for (size_t i = 0; i + START_HEADER_SIZE < filled; ++i) {
        if (buffer[i] != SIGNATURE[0]) continue;
        if (std::memcmp(buffer + i, SIGNATURE, sizeof SIGNATURE) != 0) continue;
        if (CrcCalc(buffer + i + 12, 20) != Le32(buffer + i + 8)) continue;
        *found = i;
        return true;
    }
    return false;
}

}  // namespace

ProbeStop ProbeHeaders(const uint8_t* block, size_t got, uint32_t* searchStart) {
    *searchStart = 0;
    // Every field read below must lie in the bytes the read brought.
    if (got < 64 || Le16(block) != 0x5A4D) return ProbeStop::NoMz;
    const uint32_t lfanew = Le32(block + 60);
    if (lfanew >= MAX_LFANEW) return ProbeStop::LfanewTooLarge;
    if (static_cast<size_t>(lfanew) + SECTION_TABLE_OFFSET > got) return ProbeStop::HeadersPastEnd;
    if (Le32(block + lfanew) != 0x00004550) return ProbeStop::NoPeSignature;

    const uint32_t count = Le16(block + lfanew + 6);
    const size_t tableStart = static_cast<size_t>(lfanew) + SECTION_TABLE_OFFSET;
    const size_t tableEnd = tableStart + static_cast<size_t>(count) * SECTION_HEADER_SIZE;
    // past the block or past the end of a short file
    if (tableEnd > got) return ProbeStop::SectionTableOutside;

    uint32_t largestStart = 0;
    uint32_t end = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* section = block + tableStart + static_cast<size_t>(i) * SECTION_HEADER_SIZE;
        const uint32_t rawSize = Le32(section + 16);
        const uint32_t rawStart = Le32(section + 20);
        // Strictly greater: of equal starts the first wins, and a start of 0 never counts.
        if (rawStart > largestStart) {
            largestStart = rawStart;
            end = rawStart + rawSize;  // wraps modulo 2^32, as the image loader's fields do
        }
    }
    *searchStart = end;
    return ProbeStop::None;
}

bool ProbeHostImage(PlatFile file, HostImage* image) {
    image->searchStart = 0;
    image->fileSize = 0;

    int64_t start = 0;
    if (!FileSeek(file, &start, FILE_BEGIN, nullptr)) return false;
    uint8_t block[HEADER_BLOCK_SIZE];
    size_t got = 0;
    if (!FileRead(file, block, sizeof block, &got, nullptr)) return false;

    uint32_t searchStart = 0;
    if (ProbeHeaders(block, got, &searchStart) != ProbeStop::None) return false;
    image->searchStart = searchStart;

    uint64_t size = 0;
    if (PlatGetFileSizeEx(file, &size)) image->fileSize = size;
    return true;
}

bool FindArchiveStart(PlatFile file, const HostImage& image, uint64_t* offset) {
    const uint64_t start = image.searchStart;
    int64_t position = static_cast<int64_t>(start);
    if (!FileSeek(file, &position, FILE_BEGIN, nullptr)) return false;

    uint64_t base = static_cast<uint64_t>(position);  // file offset of buffer[0]
    const uint64_t limit = start + ARCHIVE_SEARCH_WINDOW;
    uint8_t buffer[SCAN_BUFFER_SIZE];
    size_t carried = 0;

    for (;;) {
        if (base > limit) return false;
        size_t filled = carried;
        do {
            size_t got = 0;
            if (!FileRead(file, buffer + filled, sizeof buffer - filled, &got, nullptr)) return false;
            if (got == 0) return false;  // end of file
            filled += got;
        } while (filled <= START_HEADER_SIZE);

        size_t index = 0;
        if (ScanForHeader(buffer, filled, &index)) {
            *offset = base + index;
            return true;
        }
        // The last 32 bytes go on to the next pass: a header may straddle the cut.
        base += filled - START_HEADER_SIZE;
        std::memmove(buffer, buffer + filled - START_HEADER_SIZE, START_HEADER_SIZE);
        carried = START_HEADER_SIZE;
    }
}
