// Facts read from bytes: 7z method names and the PE header fields a packager
// cares about. Everything read is bounds-checked: the input is any file.
#include <cstring>

#include "tools/inspect/inspect.h"

namespace {

bool Has(size_t size, size_t at, size_t length) { return at <= size && length <= size - at; }

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// The file offset of an RVA through the section table; false when no section's raw data holds it.
bool OffsetOfRva(const uint8_t* bytes, size_t size, size_t table, uint32_t sections, uint32_t rva, size_t* offset) {
    for (uint32_t i = 0; i < sections; ++i) {
        const size_t at = table + static_cast<size_t>(i) * 40;
        if (!Has(size, at, 40)) return false;
        const uint32_t virtualSize = Le32(bytes + at + 8);
        const uint32_t virtualAddress = Le32(bytes + at + 12);
        const uint32_t rawSize = Le32(bytes + at + 16);
        const uint32_t rawPointer = Le32(bytes + at + 20);
        const uint32_t span = virtualSize > rawSize ? virtualSize : rawSize;
        if (rva < virtualAddress || rva - virtualAddress >= span) continue;
        if (rva - virtualAddress >= rawSize) return false;
        *offset = static_cast<size_t>(rawPointer) + (rva - virtualAddress);
        return *offset < size;
    }
    return false;
}

bool ExportsName(const uint8_t* bytes, size_t size, size_t table, uint32_t sections, uint32_t exportRva,
                 const char* wanted) {
    size_t directory = 0;
    if (exportRva == 0 || !OffsetOfRva(bytes, size, table, sections, exportRva, &directory)) return false;
    if (!Has(size, directory, 40)) return false;
    const uint32_t count = Le32(bytes + directory + 24);
    size_t names = 0;
    if (!OffsetOfRva(bytes, size, table, sections, Le32(bytes + directory + 32), &names)) return false;
    const size_t wantedLength = std::strlen(wanted);
    for (uint32_t i = 0; i < count; ++i) {
        if (!Has(size, names + static_cast<size_t>(i) * 4, 4)) return false;
        size_t name = 0;
        if (!OffsetOfRva(bytes, size, table, sections, Le32(bytes + names + static_cast<size_t>(i) * 4), &name)) {
            continue;
        }
        if (Has(size, name, wantedLength + 1) && std::memcmp(bytes + name, wanted, wantedLength + 1) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string MethodName(uint32_t methodId) {
    switch (methodId) {
        case 0x00: return "Copy";
        case 0x03: return "Delta";
        case 0x0A: return "ARM64";
        case 0x0B: return "RISCV";
        case 0x21: return "LZMA2";
        case 0x030101: return "LZMA";
        case 0x030401: return "PPMD";
        case 0x03030103: return "BCJ";
        case 0x0303011B: return "BCJ2";
        case 0x03030205: return "PPC";
        case 0x03030401: return "IA64";
        case 0x03030501: return "ARM";
        case 0x03030701: return "ARMT";
        case 0x03030805: return "SPARC";
        case 0x040108: return "Deflate";
        case 0x040109: return "Deflate64";
        case 0x040202: return "BZip2";
        case 0x06F10701: return "AES";
        default: break;
    }
    static const char hex[] = "0123456789ABCDEF";
    std::string text = "0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned digit = (methodId >> shift) & 0xFu;
        if (digit != 0 || started || shift == 0) {
            text.push_back(hex[digit]);
            started = true;
        }
    }
    return text;
}

PeFacts ReadPeFacts(const uint8_t* bytes, size_t size, bool wholeImage) {
    PeFacts facts;
    if (!Has(size, 0, 64) || Le16(bytes) != 0x5A4D) return facts;
    const size_t lfanew = Le32(bytes + 60);
    if (!Has(size, lfanew, 24) || Le32(bytes + lfanew) != 0x00004550) return facts;
    facts.valid = true;
    facts.machine = Le16(bytes + lfanew + 4);
    const uint32_t sections = Le16(bytes + lfanew + 6);
    const size_t optionalSize = Le16(bytes + lfanew + 20);
    facts.dll = (Le16(bytes + lfanew + 22) & 0x2000) != 0;
    const size_t optional = lfanew + 24;
    if (!Has(size, optional, 2)) return facts;
    facts.magic = Le16(bytes + optional);

    size_t directories = 0;
    size_t countAt = 0;
    if (facts.magic == 0x20B) {
        countAt = optional + 108;
        directories = optional + 112;
    } else if (facts.magic == 0x10B) {
        countAt = optional + 92;
        directories = optional + 96;
    } else {
        return facts;
    }
    if (!Has(size, countAt, 4) || directories > optional + optionalSize) return facts;
    uint32_t count = Le32(bytes + countAt);
    const size_t room = (optional + optionalSize - directories) / 8;
    if (count > room) count = static_cast<uint32_t>(room);

    // Directory 4: the certificate table, the one entry that holds a file offset.
    if (count > 4 && Has(size, directories + 32, 8)) {
        facts.certificateOffset = Le32(bytes + directories + 32);
        facts.certificateSize = Le32(bytes + directories + 36);
        facts.hasCertificateTable = facts.certificateOffset != 0 && facts.certificateSize != 0;
    }
    if (wholeImage && count > 0 && Has(size, directories, 8)) {
        facts.exportsInit =
            ExportsName(bytes, size, optional + optionalSize, sections, Le32(bytes + directories), "VorlaneInit");
    }
    return facts;
}
