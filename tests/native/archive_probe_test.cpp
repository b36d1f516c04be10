// The host image probe and the search for the appended archive, over real
// files of the simulator.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "platform/sim_control.h"
#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"

namespace {

class ArchiveProbe : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        PosixResetControls();
        CrcGenerateTable();
    }
    void TearDown() override { PosixResetControls(); }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir.Native() + "/" + name;
        EXPECT_TRUE(WriteBytes(path, bytes));
        return path;
    }
    bool Probe(const std::string& path, HostImage* image) {
        const std::u16string wide = PosixWidePath(path);
        std::memset(image, 0, sizeof *image);
        std::memcpy(image->modulePath, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
        image->searchStart = 0xDEADBEEF;
        image->fileSize = 0xDEADBEEF;
        OwnedFile file;
        if (!OpenLongFile(&file, image->modulePath, nullptr)) return false;
        return ProbeHostImage(file.Get(), image);
    }
    bool ProbeBytes(const std::vector<uint8_t>& bytes, HostImage* image) {
        return Probe(Write("image.exe", bytes), image);
    }
};

TEST_F(ArchiveProbe, SearchStartIsTheEndOfTheSectionThatStartsLast) {
    HostImage image;
    // The first section starts earlier but ends later than the second.
    const std::vector<PeSection> sections{{0x3000, 0x400}, {0x200, 0x1000}};
    const std::vector<uint8_t> bytes = MakePeImage(sections);
    ASSERT_TRUE(ProbeBytes(bytes, &image));
    EXPECT_EQ(image.searchStart, 0x1200u);
    EXPECT_EQ(image.fileSize, bytes.size());

    // Of two sections with the same start, the first in the table counts.
    ASSERT_TRUE(ProbeBytes(MakePeImage({{0x100, 0x600}, {0x300, 0x600}, {0x80, 0x400}}), &image));
    EXPECT_EQ(image.searchStart, 0x700u);

    // A section without raw data (pointer 0) never counts, whatever its size.
    ASSERT_TRUE(ProbeBytes(MakePeImage({{0x100, 0x400}, {0x9000, 0}}), &image));
    EXPECT_EQ(image.searchStart, 0x500u);
    ASSERT_TRUE(ProbeBytes(MakePeImage({{0x9000, 0}}), &image));
    EXPECT_EQ(image.searchStart, 0u);

    // The raw end wraps as 32-bit arithmetic.
    PeImageOptions small;
    small.fileSize = 0x600;
    ASSERT_TRUE(ProbeBytes(MakePeImage({{0x20, 0xFFFFFFF0u}}, small), &image));
    EXPECT_EQ(image.searchStart, 0x10u);
}

TEST_F(ArchiveProbe, HeadersMustLieInTheFirstBlockAndInTheFile) {
    HostImage image;
    PeImageOptions options;
    options.fileSize = 4096;
    options.lfanew = 3831;
    EXPECT_TRUE(ProbeBytes(MakePeImage({}, options), &image));
    EXPECT_EQ(image.searchStart, 0u);
    options.lfanew = 3832;
    EXPECT_FALSE(ProbeBytes(MakePeImage({}, options), &image));
    EXPECT_EQ(image.searchStart, 0u);
    EXPECT_EQ(image.fileSize, 0u);

    // A section table that would run past the 4096-byte block.
    options.lfanew = 3000;  // table at 3264: room for 20 headers
    std::vector<PeSection> sections(20, PeSection{0x10, 0x1000});
    EXPECT_TRUE(ProbeBytes(MakePeImage(sections, options), &image));
    sections.push_back({0x10, 0x2000});
    EXPECT_FALSE(ProbeBytes(MakePeImage(sections, options), &image));

    // Files shorter than their headers.
    const std::vector<uint8_t> full = MakePeImage({{0x200, 0x400}, {0x200, 0x600}});
    for (size_t cut : {size_t{0}, size_t{2}, size_t{63}, size_t{0x80 + 100}, size_t{0x80 + 264 + 40 + 39}}) {
        EXPECT_FALSE(ProbeBytes(std::vector<uint8_t>(full.begin(), full.begin() + static_cast<long>(cut)), &image))
            << "file cut at " << cut;
    }
    // Cut right after the table: the section data need not be there.
    EXPECT_TRUE(ProbeBytes(std::vector<uint8_t>(full.begin(), full.begin() + 0x80 + 264 + 80), &image));
    EXPECT_EQ(image.searchStart, 0x800u);
    EXPECT_EQ(image.fileSize, 0x80u + 264 + 80);

    std::vector<uint8_t> bad = full;
    bad[0] = 'X';
    EXPECT_FALSE(ProbeBytes(bad, &image));
    bad = full;
    bad[0x81] = 'X';  // "PX\0\0"
    EXPECT_FALSE(ProbeBytes(bad, &image));

    EXPECT_FALSE(Probe(dir.Native() + "/missing.exe", &image));
    EXPECT_EQ(PosixOpenHandleCount(), 0u);
}

TEST_F(ArchiveProbe, AnUnknownFileSizeIsNoFailure) {
    PosixSetFaultHook(
        [](PlatOp op, const char16_t*, void*) {
            FaultAction a;
            if (op == PlatOp::GetFileSizeEx) {
                a.kind = FaultAction::Fail;
                a.error = ERROR_ACCESS_DENIED;
            }
            return a;
        },
        nullptr);
    HostImage image;
    ASSERT_TRUE(ProbeBytes(MakeLauncherImage(), &image));
    EXPECT_EQ(image.fileSize, 0u);
    EXPECT_EQ(image.searchStart, 0x400u + 0x1200 + 0x600);
    EXPECT_EQ(PosixOpenHandleCount(), 0u);
}

// A launcher image followed by the given filler and, at the given distance
// after the search start, a valid start header, then `tail` more bytes.
class ArchiveSearch : public ArchiveProbe {
protected:
    static constexpr uint32_t kImageEnd = 0x400 + 0x1200 + 0x600;
    OwnedFile file;
    HostImage image{};

    void Build(size_t headerDistance, size_t tail, const std::vector<std::pair<size_t, std::vector<uint8_t>>>& extra = {}) {
        std::vector<uint8_t> bytes = MakeLauncherImage();
        ASSERT_EQ(bytes.size(), kImageEnd);
        const std::vector<uint8_t> filler = PatternBytes(headerDistance, 7);
        bytes.insert(bytes.end(), filler.begin(), filler.end());
        // The filler must not hold a signature by chance.
        for (size_t i = kImageEnd; i < bytes.size(); ++i) {
            if (bytes[i] == 0x37) bytes[i] = 0x38;
        }
        for (const auto& piece : extra) std::memcpy(bytes.data() + kImageEnd + piece.first, piece.second.data(), piece.second.size());
        const std::vector<uint8_t> header = MakeStartHeader(0x1234, 0x56, 0x789);
        bytes.insert(bytes.end(), header.begin(), header.end());
        bytes.insert(bytes.end(), tail, 0x11);
        Open(bytes);
    }
    void Open(const std::vector<uint8_t>& bytes) {
        file.Reset();
        const std::string path = Write("packed.exe", bytes);
        ASSERT_TRUE(Probe(path, &image));
        ASSERT_TRUE(OpenLongFile(&file, PosixWidePath(path).c_str(), nullptr));
    }
};

TEST_F(ArchiveSearch, FindsTheFirstValidHeaderWithinTheWindow) {
    uint64_t offset = 0;
    Build(0, 1);
    ASSERT_TRUE(FindArchiveStart(file.Get(), image, &offset));
    EXPECT_EQ(offset, kImageEnd);

    // A signature with a wrong start header CRC is passed over.
    std::vector<uint8_t> fake = MakeStartHeader(1, 2, 3);
    fake[9] ^= 0x01;
    Build(5000, 100, {{1000, fake}});
    ASSERT_TRUE(FindArchiveStart(file.Get(), image, &offset));
    EXPECT_EQ(offset, kImageEnd + 5000u);

    // Of two valid headers the first wins.
    Build(5000, 100, {{1000, MakeStartHeader(1, 2, 3)}});
    ASSERT_TRUE(FindArchiveStart(file.Get(), image, &offset));
    EXPECT_EQ(offset, kImageEnd + 1000u);

    // Headers straddling the cut between passes are seen through the carried bytes.
    for (size_t distance : {size_t{32735}, size_t{32736}, size_t{32740}, size_t{32767}, size_t{65480}}) {
        Build(distance, 1);
        ASSERT_TRUE(FindArchiveStart(file.Get(), image, &offset)) << distance;
        EXPECT_EQ(offset, kImageEnd + distance);
    }
}

TEST_F(ArchiveSearch, WindowEndsAfter4222943Bytes) {
    uint64_t offset = 0;
    Build(4222943, 1);
    ASSERT_TRUE(FindArchiveStart(file.Get(), image, &offset));
    EXPECT_EQ(offset, kImageEnd + 4222943u);
    Build(4222944, 1);
    EXPECT_FALSE(FindArchiveStart(file.Get(), image, &offset));
}

TEST_F(ArchiveSearch, NeedsOneByteAfterTheHeader) {
    uint64_t offset = 0;
    Build(100, 0);
    EXPECT_FALSE(FindArchiveStart(file.Get(), image, &offset));
    Build(100, 1);
    EXPECT_TRUE(FindArchiveStart(file.Get(), image, &offset));

    // Nothing after the image at all, and a file that ends before the search start.
    Open(MakeLauncherImage());
    EXPECT_FALSE(FindArchiveStart(file.Get(), image, &offset));
    PeImageOptions longer;
    longer.fileSize = 0x500;
    Open(MakePeImage({{0x1000, 0x400}}, longer));
    EXPECT_FALSE(FindArchiveStart(file.Get(), image, &offset));
}

struct ReadFaults {
    uint64_t calls = 0;
    uint64_t failAt = 0;        // 1-based ReadFile call that fails; 0: none
    uint32_t error = 0;
    uint32_t shortBytes = 0;    // every read brings at most this many; 0: no limit
    bool failForever = false;
};

FaultAction ReadFaultHook(PlatOp op, const char16_t*, void* context) {
    ReadFaults* f = static_cast<ReadFaults*>(context);
    FaultAction a;
    if (op != PlatOp::ReadFile) return a;
    ++f->calls;
    if ((f->failAt != 0 && f->calls == f->failAt) || (f->failForever && f->calls >= f->failAt)) {
        a.kind = FaultAction::Fail;
        a.error = f->error;
    } else if (f->shortBytes != 0) {
        a.kind = FaultAction::Short;
        a.shortBytes = f->shortBytes;
    }
    return a;
}

TEST_F(ArchiveSearch, ReadFailuresEndTheSearch) {
    uint64_t offset = 0;
    Build(200000, 10);
    ReadFaults faults;
    faults.failAt = 3;
    faults.error = 23;
    PosixSetFaultHook(ReadFaultHook, &faults);
    EXPECT_FALSE(FindArchiveStart(file.Get(), image, &offset));
    EXPECT_EQ(faults.calls, 3u);

    // Failures without a reason read as the end of the file: no endless loop.
    faults = ReadFaults{};
    faults.failAt = 2;
    faults.failForever = true;
    EXPECT_FALSE(FindArchiveStart(file.Get(), image, &offset));
    EXPECT_LT(faults.calls, 10u);

    // Short reads are gathered: the header is still found where it is.
    faults = ReadFaults{};
    faults.shortBytes = 1000;
    ASSERT_TRUE(FindArchiveStart(file.Get(), image, &offset));
    EXPECT_EQ(offset, kImageEnd + 200000u);

    // A seek that fails.
    PosixSetFaultHook(
        [](PlatOp op, const char16_t*, void*) {
            FaultAction a;
            if (op == PlatOp::SetFilePointer) {
                a.kind = FaultAction::Fail;
                a.error = ERROR_INVALID_HANDLE;
            }
            return a;
        },
        nullptr);
    EXPECT_FALSE(FindArchiveStart(file.Get(), image, &offset));
}

}  // namespace
