// The PE headers as every reader of them sees them: the file header, the
// optional header's kind and where its data directories and the section table
// lie. The input is any file: each field is read only once it is known to lie
// in the file, and what lies past it is reported, never read.
#pragma once

#include <cstddef>
#include <cstdint>

// A file read at offsets. read fills buffer with exactly size bytes from
// offset and returns false when it cannot; it is only asked for bytes below size.
struct PeReader {
    bool (*read)(void* context, uint64_t offset, void* buffer, size_t size);
    void* context;
    uint64_t size;  // the file's length in bytes
};

// Bytes in memory as a PeReader (the record must outlive the reader).
struct MemoryFile {
    const uint8_t* bytes;
    size_t size;
};
PeReader MemoryReader(const MemoryFile* file);

// What the headers say; offsets are file offsets.
struct PeView {
    uint32_t lfanew;
    uint16_t machine;
    uint16_t sectionCount;
    uint16_t optionalSize;
    uint16_t characteristics;
    uint16_t magic;  // 0x10B or 0x20B; anything else (0 when the file ends first): no optional-header field read
    uint64_t optional;
    uint64_t sectionTable;  // optional + optionalSize
    uint64_t directories;
    uint32_t directoryCount;  // NumberOfRvaAndSizes, as many as the optional header holds
};

// Offsets in a 64-bit or 32-bit optional header that both share.
constexpr uint32_t OPT_SIZE_OF_INITIALIZED_DATA = 8;
constexpr uint32_t OPT_SECTION_ALIGNMENT = 32;
constexpr uint32_t OPT_FILE_ALIGNMENT = 36;
constexpr uint32_t OPT_SIZE_OF_IMAGE = 56;
constexpr uint32_t OPT_SIZE_OF_HEADERS = 60;
constexpr uint32_t OPT_CHECKSUM = 64;

constexpr uint32_t DIRECTORY_EXPORTS = 0;
constexpr uint32_t DIRECTORY_IMPORTS = 1;
constexpr uint32_t DIRECTORY_RESOURCES = 2;
constexpr uint32_t DIRECTORY_CERTIFICATES = 4;  // the one entry that holds a file offset, not an RVA
constexpr uint32_t DIRECTORY_RELOCATIONS = 5;
constexpr uint32_t DIRECTORY_DELAY_IMPORTS = 13;

constexpr uint16_t PE32_MAGIC = 0x10B;
constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;

enum class PeRead {
    Ok,
    NotPe,       // no MZ header or no "PE\0\0" with a whole file header after it
    Damaged,     // a field the headers name lies past the file or outside the optional header
    ReadFailed,  // the reader failed
};

// MZ, e_lfanew, "PE\0\0", the file header and the magic; with a known magic
// the directories' place and count. On Damaged the file header's fields and
// the magic are set: the directories lie outside the file or the optional header.
PeRead ReadPeView(const PeReader& file, PeView* view);

// A 32-bit field at an offset of the optional header (SizeOfHeaders 60, CheckSum 64, ...).
PeRead ReadPeField32(const PeReader& file, const PeView& view, uint32_t optionalOffset, uint32_t* value);

// Data directory index: its RVA and size, both 0 when the header has no such
// entry (as the image loader reads it); Damaged when the entry lies past the file.
PeRead ReadPeDirectory(const PeReader& file, const PeView& view, uint32_t index, uint32_t* rva, uint32_t* size);

constexpr uint32_t PE_SECTION_HEADER_SIZE = 40;
struct PeSectionEntry {
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawPointer;
    uint32_t characteristics;
};
PeSectionEntry PeSectionFrom(const uint8_t header[PE_SECTION_HEADER_SIZE]);
PeRead ReadPeSection(const PeReader& file, uint64_t table, uint32_t index, PeSectionEntry* out);

// The file offset of an RVA through the section table: false when no
// section's raw data holds it, when the offset lies past the file, or when
// a section header before the one that holds it cannot be read.
bool PeOffsetOfRva(const PeReader& file, const PeView& view, uint32_t rva, uint64_t* offset);
