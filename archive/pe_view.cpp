#include "archive/pe_view.h"

#include <cstring>

#include "base/bytes.h"

namespace {

bool ReadMemory(void* context, uint64_t offset, void* buffer, size_t size) {
    const MemoryFile* file = static_cast<const MemoryFile*>(context);
    if (!Has(file->size, offset, size)) return false;
    std::memcpy(buffer, file->bytes + offset, size);
    return true;
}

}  // namespace

PeReader MemoryReader(const MemoryFile* file) {
    return PeReader{ReadMemory, const_cast<MemoryFile*>(file), file->size};
}

PeRead ReadPeView(const PeReader& file, PeView* view) {
    *view = PeView{};
    uint8_t dos[64];
    if (file.size < sizeof dos) return PeRead::NotPe;
    if (!file.read(file.context, 0, dos, sizeof dos)) return PeRead::ReadFailed;
    if (Le16(dos) != 0x5A4D) return PeRead::NotPe;
    const uint32_t lfanew = Le32(dos + 60);
    uint8_t head[26];  // signature, file header, magic
    if (!Has(file.size, lfanew, 24)) return PeRead::NotPe;
    const size_t available = Has(file.size, lfanew, sizeof head) ? sizeof head : 24;
    if (!file.read(file.context, lfanew, head, available)) return PeRead::ReadFailed;
    if (Le32(head) != 0x00004550) return PeRead::NotPe;
    view->lfanew = lfanew;
    view->machine = Le16(head + 4);
    view->sectionCount = Le16(head + 6);
    view->optionalSize = Le16(head + 20);
    view->characteristics = Le16(head + 22);
    view->optional = uint64_t{lfanew} + 24;
    view->sectionTable = view->optional + view->optionalSize;
    if (available < sizeof head) return PeRead::Ok;
    view->magic = Le16(head + 24);
    if (view->magic != PE32_MAGIC && view->magic != PE32_PLUS_MAGIC) return PeRead::Ok;

    const uint64_t countAt = view->optional + (view->magic == PE32_PLUS_MAGIC ? 108 : 92);
    if (!Has(file.size, countAt, 4) || countAt + 4 > view->sectionTable) return PeRead::Damaged;
    uint8_t count[4];
    if (!file.read(file.context, countAt, count, sizeof count)) return PeRead::ReadFailed;
    view->directories = countAt + 4;
    const uint64_t room = (view->sectionTable - view->directories) / 8;
    view->directoryCount = Le32(count) > room ? static_cast<uint32_t>(room) : Le32(count);
    return PeRead::Ok;
}

PeRead ReadPeField32(const PeReader& file, const PeView& view, uint32_t optionalOffset, uint32_t* value) {
    *value = 0;
    if (uint64_t{optionalOffset} + 4 > view.optionalSize) return PeRead::Damaged;
    if (!Has(file.size, view.optional + optionalOffset, 4)) return PeRead::Damaged;
    uint8_t bytes[4];
    if (!file.read(file.context, view.optional + optionalOffset, bytes, sizeof bytes)) return PeRead::ReadFailed;
    *value = Le32(bytes);
    return PeRead::Ok;
}

PeRead ReadPeDirectory(const PeReader& file, const PeView& view, uint32_t index, uint32_t* rva, uint32_t* size) {
    *rva = 0;
    *size = 0;
    if (index >= view.directoryCount) return PeRead::Ok;
    const uint64_t at = view.directories + uint64_t{index} * 8;
    if (!Has(file.size, at, 8)) return PeRead::Damaged;
    uint8_t entry[8];
    if (!file.read(file.context, at, entry, sizeof entry)) return PeRead::ReadFailed;
    *rva = Le32(entry);
    *size = Le32(entry + 4);
    return PeRead::Ok;
}

PeSectionEntry PeSectionFrom(const uint8_t header[PE_SECTION_HEADER_SIZE]) {
    return PeSectionEntry{Le32(header + 8), Le32(header + 12), Le32(header + 16), Le32(header + 20), Le32(header + 36)};
}

PeRead ReadPeSection(const PeReader& file, uint64_t table, uint32_t index, PeSectionEntry* out) {
    const uint64_t at = table + uint64_t{index} * PE_SECTION_HEADER_SIZE;
    if (!Has(file.size, at, PE_SECTION_HEADER_SIZE)) return PeRead::Damaged;
    uint8_t header[PE_SECTION_HEADER_SIZE];
    if (!file.read(file.context, at, header, sizeof header)) return PeRead::ReadFailed;
    *out = PeSectionFrom(header);
    return PeRead::Ok;
}

bool PeOffsetOfRva(const PeReader& file, const PeView& view, uint32_t rva, uint64_t* offset) {
    for (uint32_t i = 0; i < view.sectionCount; ++i) {
        PeSectionEntry s;
        if (ReadPeSection(file, view.sectionTable, i, &s) != PeRead::Ok) return false;
        const uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
        if (rva < s.virtualAddress || rva - s.virtualAddress >= span) continue;
        if (rva - s.virtualAddress >= s.rawSize) return false;
        *offset = uint64_t{s.rawPointer} + (rva - s.virtualAddress);
        return *offset < file.size;
    }
    return false;
}
