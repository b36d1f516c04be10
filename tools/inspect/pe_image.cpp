// The PE header fields a packager cares about, read from bytes: machine,
// kind, the certificate table, and from a whole image its VorlaneInit export
// and the libraries it imports, statically and delayed.
#include <cstring>

#include "tools/inspect/inspect.h"
#include "tools/inspect/pe_layout.h"

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

bool Headers(const uint8_t* bytes, size_t size, size_t* optional, size_t* directories, uint32_t* directoryCount,
             Sections* sections) {
    if (!Has(size, 0, 64) || Le16(bytes) != 0x5A4D) return false;
    const size_t lfanew = Le32(bytes + 60);
    if (!Has(size, lfanew, 24) || Le32(bytes + lfanew) != 0x00004550) return false;
    const size_t optionalSize = Le16(bytes + lfanew + 20);
    *optional = lfanew + 24;
    if (!Has(size, *optional, 2)) return false;
    const uint16_t magic = Le16(bytes + *optional);
    const size_t countAt = *optional + (magic == 0x20B ? 108 : 92);
    *directories = countAt + 4;
    if ((magic != 0x20B && magic != 0x10B) || !Has(size, countAt, 4) || *directories > *optional + optionalSize) {
        return false;
    }
    uint32_t count = Le32(bytes + countAt);
    const size_t room = (*optional + optionalSize - *directories) / 8;
    *directoryCount = count > room ? static_cast<uint32_t>(room) : count;
    sections->table = *optional + optionalSize;
    sections->count = Le16(bytes + lfanew + 6);
    return true;
}

bool Directory(const uint8_t* bytes, size_t size, size_t directories, uint32_t count, uint32_t index, uint32_t* rva,
               uint32_t* length) {
    const size_t at = directories + static_cast<size_t>(index) * 8;
    if (index >= count || !Has(size, at, 8)) return false;
    *rva = Le32(bytes + at);
    *length = Le32(bytes + at + 4);
    return *rva != 0;
}

namespace {

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

// A NUL-terminated ASCII name at an RVA (at most 256 characters).
bool NameAt(const uint8_t* bytes, size_t size, const Sections& s, uint32_t rva, std::string* name) {
    size_t at = 0;
    if (!OffsetOfRva(bytes, size, s.table, s.count, rva, &at)) return false;
    name->clear();
    for (; at < size && bytes[at] != 0; ++at) {
        if (name->size() == 256) return false;
        name->push_back(static_cast<char>(bytes[at]));
    }
    return at < size;
}

void ReadImports(const uint8_t* bytes, size_t size, const Sections& s, uint32_t rva, PeFacts* facts) {
    size_t at = 0;
    if (!OffsetOfRva(bytes, size, s.table, s.count, rva, &at)) {
        facts->importsReadable = false;
        return;
    }
    for (int i = 0; i < 4096; ++i, at += 20) {
        if (!Has(size, at, 20)) break;
        const uint32_t lookup = Le32(bytes + at);
        const uint32_t nameRva = Le32(bytes + at + 12);
        const uint32_t thunks = Le32(bytes + at + 16);
        if (lookup == 0 && nameRva == 0 && thunks == 0) return;
        std::string name;
        if (!NameAt(bytes, size, s, nameRva, &name)) break;
        facts->imports.push_back(name);
    }
    facts->importsReadable = false;
}

constexpr size_t DELAY_DESCRIPTOR = 32;
// Beyond any real image; it only bounds a table whose directory gives no size.
constexpr size_t DELAY_DESCRIPTORS_MAX = 4096;

// The delay-import table (directory 13): one 32-byte descriptor per library,
// ended by one whose name is 0 or by the directory's size. A descriptor
// without the RVA flag (attribute bit 0, older linkers) holds addresses, less
// the image base. Linkers that leave the directory empty (GNU ld) give no table.
void ReadDelayImports(const uint8_t* bytes, size_t size, const Sections& s, uint32_t rva, uint32_t length,
                      uint64_t imageBase, PeFacts* facts) {
    size_t at = 0;
    if (!OffsetOfRva(bytes, size, s.table, s.count, rva, &at)) {
        facts->delayImportsReadable = false;
        return;
    }
    const size_t count = length >= DELAY_DESCRIPTOR ? length / DELAY_DESCRIPTOR : DELAY_DESCRIPTORS_MAX;
    for (size_t i = 0; i < count && i < DELAY_DESCRIPTORS_MAX; ++i, at += DELAY_DESCRIPTOR) {
        if (!Has(size, at, DELAY_DESCRIPTOR)) break;
        const uint32_t attributes = Le32(bytes + at);
        uint64_t nameRva = Le32(bytes + at + 4);
        if (nameRva == 0) return;
        if ((attributes & 1) == 0) {
            if (nameRva < imageBase || nameRva - imageBase > 0xFFFFFFFFu) break;
            nameRva -= imageBase;
        }
        std::string name;
        if (!NameAt(bytes, size, s, static_cast<uint32_t>(nameRva), &name)) break;
        facts->delayImports.push_back(name);
        if (length >= DELAY_DESCRIPTOR && i + 1 == count) return;  // the directory's size ends it
    }
    facts->delayImportsReadable = false;
}

}  // namespace

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
    if (!wholeImage) return facts;
    if (count > 0 && Has(size, directories, 8)) {
        facts.exportsInit =
            ExportsName(bytes, size, optional + optionalSize, sections, Le32(bytes + directories), INIT_EXPORT);
    }
    facts.characteristics = Le16(bytes + lfanew + 22);
    if (Has(size, optional + 70, 2)) facts.dllCharacteristics = Le16(bytes + optional + 70);
    if (count > 1 && Has(size, directories + 8, 8) && Le32(bytes + directories + 8) != 0) {
        ReadImports(bytes, size, Sections{optional + optionalSize, sections}, Le32(bytes + directories + 8), &facts);
    }
    if (count > 13 && Has(size, directories + 13 * 8, 8) && Le32(bytes + directories + 13 * 8) != 0) {
        uint64_t imageBase = 0;
        if (facts.magic == 0x20B && Has(size, optional + 24, 8)) {
            imageBase = Le32(bytes + optional + 24) | static_cast<uint64_t>(Le32(bytes + optional + 28)) << 32;
        } else if (facts.magic == 0x10B && Has(size, optional + 28, 4)) {
            imageBase = Le32(bytes + optional + 28);
        }
        ReadDelayImports(bytes, size, Sections{optional + optionalSize, sections}, Le32(bytes + directories + 13 * 8),
                         Le32(bytes + directories + 13 * 8 + 4), imageBase, &facts);
    }
    if (facts.hasCertificateTable && facts.certificateOffset < size) {
        const size_t available = size - facts.certificateOffset;
        const size_t tableSize = facts.certificateSize < available ? facts.certificateSize : available;
        facts.signerKnown =
            ReadSigner(bytes + facts.certificateOffset, tableSize, &facts.signer, &facts.signerCodeSigning);
        facts.digestKnown = ReadSignedDigest(bytes + facts.certificateOffset, tableSize, &facts.digest);
    }
    return facts;
}
