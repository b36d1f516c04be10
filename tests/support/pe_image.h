// Synthetic 64-bit PE images for tests: just the headers the host image probe
// reads, with section raw data filled by a pattern free of 7z signature bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct PeSection {
    uint32_t rawSize;
    uint32_t rawPointer;
};

struct PeImageOptions {
    uint32_t lfanew = 0x80;
    uint16_t machine = 0x8664;
    uint16_t magic = 0x20B;
    // Bytes in the file; 0: up to the largest raw end of the sections or the
    // end of the headers, whichever is greater.
    size_t fileSize = 0;
};

std::vector<uint8_t> MakePeImage(const std::vector<PeSection>& sections, const PeImageOptions& options = {});

// The probe's own rule, restated for tests that need the expected search start
// of an image they did not build.
uint32_t ExpectedSearchStart(const std::vector<PeSection>& sections);

// A plain launcher-like image: headers in the first 0x400 bytes and two
// sections, ending at 0x400 + textSize + dataSize.
std::vector<uint8_t> MakeLauncherImage(uint32_t textSize = 0x1200, uint32_t dataSize = 0x600);

// A launcher-like image whose resources hold a string table with the given
// (id, text) strings (ids below 16): three sections mapped one to one (virtual
// address = file offset), the last one .rsrc.
std::vector<uint8_t> MakeLauncherImageWithStrings(const std::vector<std::pair<int, std::u16string>>& strings);

// The PE checksum by its definition: 16-bit words summed with end-around
// carry, the 4-byte field at field counted as zero, plus the file's length.
uint32_t DefinedPeChecksum(const std::vector<uint8_t>& file, size_t field);

// The smallest image a packager could hand in as the runtime library: headers
// and one section holding an export directory with one name, and optionally an
// import table and a delay-import table naming one library each.
struct DllOptions {
    uint16_t machine = 0x8664;
    uint16_t magic = 0x20B;
    bool dll = true;
    const char* exportName = "VorlaneInit";
    const char* import = nullptr;  // one library in the import table
    const char* delayImport = nullptr;  // one library in the delay-import table
    bool delayVaBased = false;          // its descriptor holds addresses (older linkers), not RVAs
};
std::vector<uint8_t> MakeRuntimeImage(const DllOptions& options = {});
