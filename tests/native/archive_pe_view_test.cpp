// The one PE view over hostile headers: every field is read only when the file
// holds it, 32- and 64-bit optional headers place their directories apart, and
// the directory count never reaches past the optional header.
#include <gtest/gtest.h>

#include <vector>

#include "archive/pe_view.h"
#include "base/bytes.h"

namespace {

constexpr uint32_t LFANEW = 0x40;
constexpr uint32_t OPTIONAL = LFANEW + 24;

// Headers only: a 32- or 64-bit optional header with 16 directories, directory
// d holding (0x1000 * (d + 1), d + 1), then one section mapping RVA 0x1000 to offset 0x200.
std::vector<uint8_t> Image(uint16_t magic) {
    const uint32_t directories = magic == PE32_PLUS_MAGIC ? 112 : 96;
    const uint16_t optionalSize = static_cast<uint16_t>(directories + 16 * 8);
    std::vector<uint8_t> b(0x400, 0);
    PutLe16(&b[0], 0x5A4D);
    PutLe32(&b[60], LFANEW);
    PutLe32(&b[LFANEW], 0x00004550);
    PutLe16(&b[LFANEW + 4], 0x8664);
    PutLe16(&b[LFANEW + 6], 1);
    PutLe16(&b[LFANEW + 20], optionalSize);
    PutLe16(&b[LFANEW + 22], 0x2022);
    PutLe16(&b[OPTIONAL], magic);
    PutLe32(&b[OPTIONAL + 60], 0x400);  // SizeOfHeaders
    PutLe32(&b[OPTIONAL + directories - 4], 16);
    for (uint32_t d = 0; d < 16; ++d) {
        PutLe32(&b[OPTIONAL + directories + 8 * d], 0x1000 * (d + 1));
        PutLe32(&b[OPTIONAL + directories + 8 * d + 4], d + 1);
    }
    const size_t section = OPTIONAL + optionalSize;
    PutLe32(&b[section + 8], 0x300);    // virtual size, past the raw data
    PutLe32(&b[section + 12], 0x1000);  // virtual address
    PutLe32(&b[section + 16], 0x200);   // raw size
    PutLe32(&b[section + 20], 0x200);   // raw pointer
    return b;
}

PeRead View(const std::vector<uint8_t>& bytes, PeView* view) {
    const MemoryFile file{bytes.data(), bytes.size()};
    return ReadPeView(MemoryReader(&file), view);
}

TEST(PeViewTest, ReadsBothKindsAndMapsRvas) {
    for (uint16_t magic : {PE32_MAGIC, PE32_PLUS_MAGIC}) {
        const std::vector<uint8_t> bytes = Image(magic);
        const MemoryFile file{bytes.data(), bytes.size()};
        const PeReader reader = MemoryReader(&file);
        PeView view;
        ASSERT_EQ(ReadPeView(reader, &view), PeRead::Ok) << magic;
        EXPECT_EQ(view.magic, magic);
        EXPECT_EQ(view.machine, 0x8664);
        EXPECT_EQ(view.characteristics, 0x2022);
        EXPECT_EQ(view.directoryCount, 16u);
        EXPECT_EQ(view.sectionTable, view.optional + view.optionalSize);
        uint32_t rva = 0;
        uint32_t size = 0;
        ASSERT_EQ(ReadPeDirectory(reader, view, 4, &rva, &size), PeRead::Ok);
        EXPECT_EQ(rva, 0x5000u);
        EXPECT_EQ(size, 5u);
        uint32_t headers = 0;
        ASSERT_EQ(ReadPeField32(reader, view, 60, &headers), PeRead::Ok);
        EXPECT_EQ(headers, 0x400u);
        EXPECT_EQ(ReadPeField32(reader, view, view.optionalSize - 2, &headers), PeRead::Damaged);

        uint64_t offset = 0;
        ASSERT_TRUE(PeOffsetOfRva(reader, view, 0x1010, &offset));
        EXPECT_EQ(offset, 0x210u);
        EXPECT_FALSE(PeOffsetOfRva(reader, view, 0x1250, &offset));  // mapped, but not in the raw data
        EXPECT_FALSE(PeOffsetOfRva(reader, view, 0x0FFF, &offset));
        ASSERT_TRUE(PeOffsetOfRva(reader, view, 0x11FF, &offset));
        EXPECT_EQ(offset, 0x3FFu);
        // Raw data the file does not hold maps nowhere.
        const MemoryFile cut{bytes.data(), 0x300};
        EXPECT_TRUE(PeOffsetOfRva(MemoryReader(&cut), view, 0x10FF, &offset));
        EXPECT_FALSE(PeOffsetOfRva(MemoryReader(&cut), view, 0x1100, &offset));
    }
}

TEST(PeViewTest, EveryFieldPastTheEndOfTheFileIsReportedNotRead) {
    for (uint16_t magic : {PE32_MAGIC, PE32_PLUS_MAGIC}) {
        const std::vector<uint8_t> full = Image(magic);
        const uint32_t countAt = OPTIONAL + (magic == PE32_PLUS_MAGIC ? 108 : 92);
        struct Cut {
            size_t size;
            PeRead read;
            uint16_t magic;
        };
        const Cut cuts[] = {
            {0, PeRead::NotPe, 0},           {63, PeRead::NotPe, 0},
            {LFANEW + 23, PeRead::NotPe, 0},  // the file header ends short
            {LFANEW + 25, PeRead::Ok, 0},     // the magic does
            {countAt + 3, PeRead::Damaged, magic},
            {countAt + 4, PeRead::Ok, magic},
        };
        for (const Cut& cut : cuts) {
            const std::vector<uint8_t> bytes(full.begin(), full.begin() + static_cast<long>(cut.size));
            PeView view;
            EXPECT_EQ(View(bytes, &view), cut.read) << magic << " cut at " << cut.size;
            EXPECT_EQ(view.magic, cut.magic) << magic << " cut at " << cut.size;
        }
        // The directories are counted but lie past the end: each reports so.
        const std::vector<uint8_t> bytes(full.begin(), full.begin() + countAt + 4 + 8 * 4 + 4);
        const MemoryFile file{bytes.data(), bytes.size()};
        PeView view;
        ASSERT_EQ(ReadPeView(MemoryReader(&file), &view), PeRead::Ok);
        uint32_t rva = 0;
        uint32_t size = 0;
        EXPECT_EQ(ReadPeDirectory(MemoryReader(&file), view, 3, &rva, &size), PeRead::Ok);
        EXPECT_EQ(ReadPeDirectory(MemoryReader(&file), view, 4, &rva, &size), PeRead::Damaged);
        PeSectionEntry section;
        EXPECT_EQ(ReadPeSection(MemoryReader(&file), view.sectionTable, 0, &section), PeRead::Damaged);
        uint64_t offset = 0;
        EXPECT_FALSE(PeOffsetOfRva(MemoryReader(&file), view, 0x1010, &offset));
    }
}

TEST(PeViewTest, TheOptionalHeaderBoundsTheDirectories) {
    for (uint16_t magic : {PE32_MAGIC, PE32_PLUS_MAGIC}) {
        const uint32_t directories = OPTIONAL + (magic == PE32_PLUS_MAGIC ? 112 : 96);
        std::vector<uint8_t> bytes = Image(magic);
        PeView view;
        // Room for five entries and a half: five count, whatever NumberOfRvaAndSizes says.
        PutLe16(&bytes[LFANEW + 20], static_cast<uint16_t>(directories - OPTIONAL + 5 * 8 + 4));
        ASSERT_EQ(View(bytes, &view), PeRead::Ok);
        EXPECT_EQ(view.directoryCount, 5u);
        const MemoryFile file{bytes.data(), bytes.size()};
        uint32_t rva = 1;
        uint32_t size = 1;
        EXPECT_EQ(ReadPeDirectory(MemoryReader(&file), view, 5, &rva, &size), PeRead::Ok);
        EXPECT_EQ(rva, 0u);
        EXPECT_EQ(size, 0u);
        // Fewer entries than room: the count stands.
        PutLe32(&bytes[directories - 4], 2);
        ASSERT_EQ(View(bytes, &view), PeRead::Ok);
        EXPECT_EQ(view.directoryCount, 2u);
        // An optional header too short to reach the directories.
        PutLe16(&bytes[LFANEW + 20], static_cast<uint16_t>(directories - OPTIONAL - 1));
        EXPECT_EQ(View(bytes, &view), PeRead::Damaged);
        EXPECT_EQ(view.magic, magic);
    }
    // A magic of neither kind: nothing of the optional header is read.
    std::vector<uint8_t> bytes = Image(PE32_PLUS_MAGIC);
    PutLe16(&bytes[OPTIONAL], 0x107);
    PeView view;
    ASSERT_EQ(View(bytes, &view), PeRead::Ok);
    EXPECT_EQ(view.directoryCount, 0u);
    bytes[LFANEW + 1] = 'X';
    EXPECT_EQ(View(bytes, &view), PeRead::NotPe);
}

}  // namespace
