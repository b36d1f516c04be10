// The resource section read out of an image and written back into a copy of
// it. When the new section no longer fits, the sections after it move: only
// the relocation section may, since nothing refers to its RVA but its data
// directory entry and its blocks name pages of other sections only. (The
// mingw linker places .reloc right after .rsrc.)
#include <algorithm>
#include <cstring>

#include "tools/resources/pe_headers.h"
#include "tools/resources/resources.h"

bool ReadPeHeaders(const uint8_t* image, size_t size, PeHeaders* h) {
    const MemoryFile file{image, size};
    const PeReader reader = MemoryReader(&file);
    PeView view;
    if (ReadPeView(reader, &view) != PeRead::Ok) return false;
    // The whole optional header: the writer rewrites fields anywhere in it.
    if ((view.magic != PE32_PLUS_MAGIC && view.magic != PE32_MAGIC) || !Has(size, view.optional, view.optionalSize)) {
        return false;
    }
    h->fileHeader = view.lfanew + 4;
    h->optional = static_cast<size_t>(view.optional);
    h->directories = static_cast<size_t>(view.directories);
    h->directoryCount = view.directoryCount;
    if (ReadPeField32(reader, view, OPT_SECTION_ALIGNMENT, &h->sectionAlignment) != PeRead::Ok ||
        ReadPeField32(reader, view, OPT_FILE_ALIGNMENT, &h->fileAlignment) != PeRead::Ok ||
        ReadPeField32(reader, view, OPT_SIZE_OF_HEADERS, &h->headersSize) != PeRead::Ok) {
        return false;
    }
    // Powers of two as the loader requires, small enough that rounding a size up cannot wrap.
    auto powerOfTwo = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
    if (!powerOfTwo(h->fileAlignment) || h->fileAlignment > 0x10000 || !powerOfTwo(h->sectionAlignment) ||
        h->sectionAlignment < h->fileAlignment || h->sectionAlignment > 0x10000000 || h->headersSize > size) {
        return false;
    }
    const size_t table = static_cast<size_t>(view.sectionTable);
    if (!Has(size, table, size_t{view.sectionCount} * PE_SECTION_HEADER_SIZE)) return false;
    h->sections.clear();
    for (size_t i = 0; i < view.sectionCount; ++i) {
        const size_t at = table + i * PE_SECTION_HEADER_SIZE;
        const PeSectionEntry e = PeSectionFrom(image + at);
        const PeSectionHeader section{at, e.virtualSize, e.virtualAddress, e.rawSize, e.rawPointer, e.characteristics};
        if (section.rawSize != 0 && !Has(size, section.rawPointer, section.rawSize)) return false;
        h->sections.push_back(section);
    }
    return true;
}

namespace {

bool DirectoryOf(const uint8_t* image, const PeHeaders& h, uint32_t index, uint32_t* rva, uint32_t* size) {
    if (index >= h.directoryCount) return false;  // ReadPeHeaders found the whole optional header in the image
    *rva = Le32(image + h.directories + 8 * index);
    *size = Le32(image + h.directories + 8 * index + 4);
    return *rva != 0;
}

uint32_t Extent(const PeSectionHeader& s) { return s.virtualSize != 0 ? s.virtualSize : s.rawSize; }
bool Holds(const PeSectionHeader& s, uint32_t rva) { return rva >= s.virtualAddress && rva - s.virtualAddress < Extent(s); }

// Whether a section after .rsrc can be moved: it holds the relocations and
// nothing else any directory names, and no block fixes up a page at or past .rsrc.
bool Movable(const uint8_t* image, const PeHeaders& h, const PeSectionHeader& s, uint32_t resourceRva) {
    uint32_t rva = 0;
    uint32_t size = 0;
    if (!DirectoryOf(image, h, DIRECTORY_RELOCATIONS, &rva, &size) || !Holds(s, rva)) return false;
    for (uint32_t d = 0; d < h.directoryCount; ++d) {
        uint32_t other = 0;
        uint32_t length = 0;
        if (d != DIRECTORY_RELOCATIONS && d != DIRECTORY_CERTIFICATES && DirectoryOf(image, h, d, &other, &length) &&
            Holds(s, other)) {
            return false;
        }
    }
    if (rva - s.virtualAddress > s.rawSize || size > s.rawSize - (rva - s.virtualAddress)) return false;
    const uint8_t* blocks = image + s.rawPointer + (rva - s.virtualAddress);
    for (uint32_t at = 0; at + 8 <= size;) {
        const uint32_t page = Le32(blocks + at);
        const uint32_t length = Le32(blocks + at + 4);
        // A block past the directory's end would wrap the offset back into it.
        if (length < 8 || length > size - at || page >= resourceRva) return false;
        at += length;
    }
    return true;
}

}  // namespace

ResourceResult ReadResources(const std::vector<uint8_t>& image, Resources* resources) {
    PeHeaders h;
    if (!ReadPeHeaders(image.data(), image.size(), &h)) return ResourceResult::NotPe;
    uint32_t rva = 0;
    uint32_t size = 0;
    if (!DirectoryOf(image.data(), h, DIRECTORY_RESOURCES, &rva, &size)) return ResourceResult::NoResources;
    for (const PeSectionHeader& s : h.sections) {
        if (!Holds(s, rva) || rva - s.virtualAddress >= s.rawSize) continue;
        const uint32_t skip = rva - s.virtualAddress;
        return ReadResourceSection(image.data() + s.rawPointer + skip, std::min(s.rawSize, Extent(s)) - skip, rva,
                                   resources);
    }
    return ResourceResult::NoResources;
}

ResourceResult WriteResources(const std::vector<uint8_t>& image, const Resources& resources, std::vector<uint8_t>* out) {
    PeHeaders h;
    if (!ReadPeHeaders(image.data(), image.size(), &h)) return ResourceResult::NotPe;
    uint32_t rva = 0;
    uint32_t size = 0;
    if (!DirectoryOf(image.data(), h, DIRECTORY_RESOURCES, &rva, &size)) return ResourceResult::NoResources;
    size_t index = h.sections.size();
    for (size_t i = 0; i < h.sections.size(); ++i) {
        if (h.sections[i].virtualAddress == rva) index = i;
    }
    if (index == h.sections.size()) return ResourceResult::NoResources;
    PeSectionHeader rsrc = h.sections[index];
    // Rebuilt where its raw data lies (checked to be inside the image), never over the headers it rewrites.
    if (rsrc.rawSize == 0 || rsrc.rawPointer < h.sections.back().at + 40) return ResourceResult::NoResources;
    const std::vector<uint8_t> section = BuildResourceSection(resources, rva);
    if (section.size() > 0x7FFFFFFF) return ResourceResult::SectionCannotMove;

    // The sections after .rsrc in memory, in order; every other one must lie before it in the file too.
    std::vector<PeSectionHeader*> after;
    uint32_t oldEnd = h.headersSize;
    for (PeSectionHeader& s : h.sections) {
        if (s.rawSize != 0) oldEnd = std::max(oldEnd, s.rawPointer + s.rawSize);
        if (s.virtualAddress > rsrc.virtualAddress) {
            after.push_back(&s);
        } else if (&s != &h.sections[index] && s.rawSize != 0 && s.rawPointer + s.rawSize > rsrc.rawPointer) {
            return ResourceResult::SectionCannotMove;
        }
    }
    std::sort(after.begin(), after.end(),
              [](const PeSectionHeader* a, const PeSectionHeader* b) { return a->virtualAddress < b->virtualAddress; });
    bool movable = true;
    for (const PeSectionHeader* s : after) {
        movable = movable && Movable(image.data(), h, *s, rsrc.virtualAddress);
        if (s->rawSize != 0 && s->rawPointer < rsrc.rawPointer + rsrc.rawSize) return ResourceResult::SectionCannotMove;
    }
    const uint32_t newVirtualSize = static_cast<uint32_t>(section.size());
    uint32_t newRawSize = AlignUp(newVirtualSize, h.fileAlignment);
    std::vector<uint32_t> oldRaw;
    for (const PeSectionHeader* s : after) oldRaw.push_back(s->rawPointer);
    uint32_t relocationDelta = 0;
    if (movable) {
        // Packed right after the new .rsrc, in memory and in the file.
        uint32_t memoryEnd = rsrc.virtualAddress + newVirtualSize;
        uint32_t fileEnd = rsrc.rawPointer + newRawSize;
        for (PeSectionHeader* s : after) {
            const uint32_t place = AlignUp(memoryEnd, h.sectionAlignment);
            relocationDelta = place - s->virtualAddress;
            s->virtualAddress = place;
            memoryEnd = place + Extent(*s);
            if (s->rawSize != 0) {
                s->rawPointer = fileEnd;
                fileEnd += s->rawSize;
            }
        }
    } else {
        // In place: the new section must fit where the old one was, in memory and in the file.
        const uint32_t memoryRoom = after.empty() ? 0xFFFFFFFFu : after.front()->virtualAddress - rsrc.virtualAddress;
        uint32_t fileRoom = 0xFFFFFFFFu;
        for (const PeSectionHeader* s : after) {
            if (s->rawSize != 0) fileRoom = std::min(fileRoom, s->rawPointer - rsrc.rawPointer);
        }
        if (newVirtualSize > memoryRoom || newRawSize > fileRoom) return ResourceResult::SectionCannotMove;
        if (!after.empty()) newRawSize = std::max(newRawSize, std::min(rsrc.rawSize, fileRoom));
    }

    uint32_t newEnd = std::max(h.headersSize, rsrc.rawPointer + newRawSize);
    uint32_t imageEnd = rsrc.virtualAddress + newVirtualSize;
    for (const PeSectionHeader& s : h.sections) {
        if (&s == &h.sections[index]) continue;
        if (s.rawSize != 0) newEnd = std::max(newEnd, s.rawPointer + s.rawSize);
        imageEnd = std::max(imageEnd, s.virtualAddress + Extent(s));
    }
    out->assign(newEnd, 0);
    std::memcpy(out->data(), image.data(), std::min<size_t>(rsrc.rawPointer, image.size()));
    std::memcpy(out->data() + rsrc.rawPointer, section.data(), section.size());
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i]->rawSize != 0) {
            std::memcpy(out->data() + after[i]->rawPointer, image.data() + oldRaw[i], after[i]->rawSize);
        }
    }

    uint8_t* o = out->data();
    for (const PeSectionHeader* s : after) {
        PutLe32(o + s->at + 12, s->virtualAddress);
        PutLe32(o + s->at + 20, s->rawPointer);
    }
    PutLe32(o + rsrc.at + 8, newVirtualSize);
    PutLe32(o + rsrc.at + 16, newRawSize);
    PutLe32(o + h.directories + 8 * DIRECTORY_RESOURCES + 4, newVirtualSize);
    uint32_t relocations = 0;
    uint32_t relocationSize = 0;
    if (movable && !after.empty() && DirectoryOf(image.data(), h, DIRECTORY_RELOCATIONS, &relocations, &relocationSize)) {
        PutLe32(o + h.directories + 8 * DIRECTORY_RELOCATIONS, relocations + relocationDelta);
    }
    if (h.directoryCount > DIRECTORY_CERTIFICATES) {
        // A signature does not survive the rewrite, and its bytes are left behind.
        PutLe32(o + h.directories + 8 * DIRECTORY_CERTIFICATES, 0);
        PutLe32(o + h.directories + 8 * DIRECTORY_CERTIFICATES + 4, 0);
    }
    if (Le32(o + h.fileHeader + 8) >= oldEnd) {  // a COFF symbol table past the sections: left behind too
        PutLe32(o + h.fileHeader + 8, 0);
        PutLe32(o + h.fileHeader + 12, 0);
    }
    PutLe32(o + h.optional + OPT_SIZE_OF_IMAGE, AlignUp(imageEnd, h.sectionAlignment));
    if (rsrc.characteristics & 0x40) {  // initialized data
        const uint32_t initialized = Le32(o + h.optional + OPT_SIZE_OF_INITIALIZED_DATA);
        PutLe32(o + h.optional + OPT_SIZE_OF_INITIALIZED_DATA, initialized - rsrc.rawSize + newRawSize);
    }
    PutLe32(o + h.optional + OPT_CHECKSUM, PeChecksum(*out, h.optional + OPT_CHECKSUM));
    return ResourceResult::Ok;
}

uint32_t PeChecksum(const std::vector<uint8_t>& image, size_t field) {
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        if (i >= field && i < field + 4) word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + image.size());
}
