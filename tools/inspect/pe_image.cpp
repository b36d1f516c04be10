// The PE header fields a packager cares about, read from bytes: machine,
// kind, the certificate table, and from a whole image its VorlaneInit export
// and the libraries it imports, statically and delayed.
#include <cstring>

#include "base/names.h"
#include "tools/inspect/inspect.h"
#include "tools/inspect/pe_layout.h"

bool ReadPeBytes(const uint8_t* bytes, size_t size, PeBytes* image) {
    image->file = MemoryFile{bytes, size};
    const PeRead read = ReadPeView(MemoryReader(&image->file), &image->view);
    return read == PeRead::Ok && (image->view.magic == PE32_MAGIC || image->view.magic == PE32_PLUS_MAGIC);
}

bool OffsetOfRva(const PeBytes& image, uint32_t rva, size_t* offset) {
    uint64_t at = 0;
    if (!PeOffsetOfRva(MemoryReader(&image.file), image.view, rva, &at)) return false;
    *offset = static_cast<size_t>(at);
    return true;
}

bool Directory(const PeBytes& image, uint32_t index, uint32_t* rva, uint32_t* length) {
    return ReadPeDirectory(MemoryReader(&image.file), image.view, index, rva, length) == PeRead::Ok && *rva != 0;
}

namespace {

bool ExportsName(const PeBytes& image, uint32_t exportRva, const char* wanted) {
    const uint8_t* bytes = image.file.bytes;
    const size_t size = image.file.size;
    size_t directory = 0;
    if (!OffsetOfRva(image, exportRva, &directory)) return false;
    if (!Has(size, directory, 40)) return false;
    const uint32_t count = Le32(bytes + directory + 24);
    size_t names = 0;
    if (!OffsetOfRva(image, Le32(bytes + directory + 32), &names)) return false;
    const size_t wantedLength = std::strlen(wanted);
    for (uint32_t i = 0; i < count; ++i) {
        if (!Has(size, names + static_cast<size_t>(i) * 4, 4)) return false;
        size_t name = 0;
        if (!OffsetOfRva(image, Le32(bytes + names + static_cast<size_t>(i) * 4), &name)) {
            continue;
        }
        if (Has(size, name, wantedLength + 1) && std::memcmp(bytes + name, wanted, wantedLength + 1) == 0) {
            return true;
        }
    }
    return false;
}

// A NUL-terminated ASCII name at an RVA (at most 256 characters).
bool NameAt(const PeBytes& image, uint32_t rva, std::string* name) {
    const uint8_t* bytes = image.file.bytes;
    const size_t size = image.file.size;
    size_t at = 0;
    if (!OffsetOfRva(image, rva, &at)) return false;
    name->clear();
    for (; at < size && bytes[at] != 0; ++at) {
        if (name->size() == 256) return false;
        name->push_back(static_cast<char>(bytes[at]));
    }
    return at < size;
}

void ReadImports(const PeBytes& image, uint32_t rva, PeFacts* facts) {
    const uint8_t* bytes = image.file.bytes;
    const size_t size = image.file.size;
    size_t at = 0;
    if (!OffsetOfRva(image, rva, &at)) {
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
        if (!NameAt(image, nameRva, &name)) break;
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
void ReadDelayImports(const PeBytes& image, uint32_t rva, uint32_t length, uint64_t imageBase, PeFacts* facts) {
    const uint8_t* bytes = image.file.bytes;
    const size_t size = image.file.size;
    size_t at = 0;
    if (!OffsetOfRva(image, rva, &at)) {
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
        if (!NameAt(image, static_cast<uint32_t>(nameRva), &name)) break;
        facts->delayImports.push_back(name);
        if (length >= DELAY_DESCRIPTOR && i + 1 == count) return;  // the directory's size ends it
    }
    facts->delayImportsReadable = false;
}

}  // namespace

PeFacts ReadPeFacts(const uint8_t* bytes, size_t size, bool wholeImage) {
    PeFacts facts;
    PeBytes image{MemoryFile{bytes, size}, PeView{}};
    const PeRead read = ReadPeView(MemoryReader(&image.file), &image.view);
    if (read == PeRead::NotPe || read == PeRead::ReadFailed) return facts;
    const PeView& view = image.view;
    facts.valid = true;
    facts.machine = view.machine;
    facts.dll = (view.characteristics & 0x2000) != 0;
    facts.magic = view.magic;
    if (read != PeRead::Ok || (view.magic != PE32_MAGIC && view.magic != PE32_PLUS_MAGIC)) return facts;

    uint32_t offset = 0;
    uint32_t length = 0;
    if (ReadPeDirectory(MemoryReader(&image.file), view, DIRECTORY_CERTIFICATES, &offset, &length) == PeRead::Ok) {
        facts.certificateOffset = offset;
        facts.certificateSize = length;
        facts.hasCertificateTable = offset != 0 && length != 0;
    }
    if (!wholeImage) return facts;
    uint32_t rva = 0;
    if (Directory(image, DIRECTORY_EXPORTS, &rva, &length)) facts.exportsInit = ExportsName(image, rva, INIT_EXPORT);
    facts.characteristics = view.characteristics;
    const size_t optional = static_cast<size_t>(view.optional);
    if (Has(size, optional + 70, 2)) facts.dllCharacteristics = Le16(bytes + optional + 70);
    if (Directory(image, DIRECTORY_IMPORTS, &rva, &length)) ReadImports(image, rva, &facts);
    if (Directory(image, DIRECTORY_DELAY_IMPORTS, &rva, &length)) {
        uint64_t imageBase = 0;
        if (facts.magic == PE32_PLUS_MAGIC && Has(size, optional + 24, 8)) {
            imageBase = Le64(bytes + optional + 24);
        } else if (facts.magic == PE32_MAGIC && Has(size, optional + 28, 4)) {
            imageBase = Le32(bytes + optional + 28);
        }
        ReadDelayImports(image, rva, length, imageBase, &facts);
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
