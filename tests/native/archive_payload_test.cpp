// Locating the payload inside the packaged executable and checking it in place.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "archive/payload.h"
#include "platform/sim_control.h"
#include "tests/support/fault.h"
#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"

namespace {

class Payload : public ::testing::Test {
protected:
    TempDir dir;
    OwnedFile file;
    ArchiveReader reader;
    bool setUp = false;
    uint64_t archiveStart = 0;
    uint64_t fileSize = 0;

    void SetUp() override {
        PosixResetControls();
        CrcGenerateTable();
    }
    void TearDown() override {
        Close();
        PosixResetControls();
    }
    void Close() {
        if (setUp) ArchiveReaderClose(&reader);
        setUp = false;
        file.Reset();
    }
    std::string Native(const std::string& name) { return dir.Native() + "/" + name; }

    // The launch sequence's own steps up to the opened archive.
    void OpenPackaged(const std::string& name) {
        Close();
        HostImage image{};
        const std::u16string wide = PosixWidePath(Native(name));
        std::copy(wide.begin(), wide.end(), image.modulePath);
        ASSERT_TRUE(OpenLongFile(&file, image.modulePath, nullptr));
        ASSERT_TRUE(ProbeHostImage(file.Get(), &image));
        ASSERT_TRUE(FindArchiveStart(file.Get(), image, &archiveStart));
        int64_t position = static_cast<int64_t>(archiveStart);
        ASSERT_TRUE(FileSeek(file.Get(), &position, FILE_BEGIN, nullptr));
        ArchiveReaderSetUp(&reader, file.Get());
        setUp = true;
        ASSERT_TRUE(ArchiveReaderAllocBuffers(&reader));
        ASSERT_TRUE(ArchiveReaderOpen(&reader, nullptr));
        fileSize = image.fileSize;
    }
    // A launcher image followed by a hand-written archive.
    void OpenStored(const std::vector<StoredEntry>& entries, const StoredArchiveOptions& options = {},
                    size_t flip = SIZE_MAX) {
        std::vector<uint8_t> bytes = MakeLauncherImage();
        const std::vector<uint8_t> archive = BuildStoredArchive(entries, options);
        const size_t start = bytes.size();
        bytes.insert(bytes.end(), archive.begin(), archive.end());
        if (flip != SIZE_MAX) bytes[start + flip] ^= 0x01;
        ASSERT_TRUE(WriteBytes(Native("stored.exe"), bytes));
        OpenPackaged("stored.exe");
        ASSERT_EQ(archiveStart, start);
    }
    PayloadResult Locate(PayloadLocation* location, uint64_t size) {
        return LocateAndCheckPayload(&reader, file.Get(), size, location);
    }
    PayloadResult Locate(PayloadLocation* location) { return Locate(location, fileSize); }
    std::string Pack(const std::vector<uint8_t>& payload, const std::string& out = "packed.exe") {
        EXPECT_TRUE(WriteBytes(Native("launcher.exe"), MakeLauncherImage()));
        EXPECT_TRUE(WriteBytes(Native("payload.dat"), payload));
        EXPECT_TRUE(WriteBytes(Native("runtime.dll"), PatternBytes(20000, 99)));
        std::string output;
        EXPECT_EQ(RunPackTool(VORLANE_BINARY_DIR, Native("launcher.exe"), Native("payload.dat"),
                              Native("runtime.dll"), Native(out), &output),
                  0)
            << output;
        return out;
    }
};

TEST_F(Payload, PackagedPayloadLiesRightAfterTheStartHeader) {
    const std::vector<uint8_t> payload = PatternBytes(300001, 1);
    OpenPackaged(Pack(payload));
    EXPECT_EQ(archiveStart, MakeLauncherImage().size());
    PayloadLocation location{};
    ASSERT_EQ(Locate(&location), PayloadResult::Ok);
    EXPECT_EQ(location.offset, archiveStart + 32);
    EXPECT_EQ(location.size, payload.size());
    const std::vector<uint8_t> bytes = ReadBytes(Native("packed.exe"));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), bytes.begin() + static_cast<long>(location.offset)));
}

TEST_F(Payload, RangeMustLieInTheFile) {
    OpenStored({{u"vorlane.bin", PatternBytes(5000, 2)}});
    PayloadLocation location{};
    const uint64_t end = archiveStart + 32 + 5000;
    ASSERT_EQ(Locate(&location, end), PayloadResult::Ok);  // last byte = last byte of the file
    EXPECT_EQ(Locate(&location, end - 1), PayloadResult::OutOfRange);
    EXPECT_EQ(Locate(&location, 0), PayloadResult::OutOfRange);  // size unknown
    EXPECT_EQ(Locate(&location, archiveStart + 32), PayloadResult::OutOfRange);
}

TEST_F(Payload, AChangedByteOrAMissingCrcIsACrcError) {
    OpenStored({{u"vorlane.bin", PatternBytes(70000, 3)}}, {}, 32 + 65536);
    PayloadLocation location{};
    EXPECT_EQ(Locate(&location), PayloadResult::CrcError);

    // Flipped inside a vorlane-pack package.
    std::vector<uint8_t> packed = ReadBytes(Native(Pack(PatternBytes(4000, 4))));
    const size_t start = FindStartHeaderIn(packed);
    ASSERT_NE(start, SIZE_MAX);
    packed[start + 32 + 3999] ^= 0x80;
    ASSERT_TRUE(WriteBytes(Native("flipped.exe"), packed));
    OpenPackaged("flipped.exe");
    EXPECT_EQ(Locate(&location), PayloadResult::CrcError);

    // No recorded CRC: compared with 0.
    StoredArchiveOptions options;
    options.crcs = false;
    OpenStored({{u"vorlane.bin", PatternBytes(100, 5)}}, options);
    EXPECT_EQ(Locate(&location), PayloadResult::CrcError);

    // The range cannot be read completely (its second piece fails).
    OpenStored({{u"vorlane.bin", PatternBytes(CHECK_PIECE_SIZE + 1000, 6)}});
    FaultPlan plan;
    plan.FailNth(PlatOp::ReadFile, 2, 23);
    EXPECT_EQ(Locate(&location), PayloadResult::CrcError);
}

TEST_F(Payload, OnlyAnExactNameWithDataIsThePayload) {
    const std::vector<uint8_t> data = PatternBytes(1000, 7);
    PayloadLocation location{};
    OpenStored({{u"VORLANE.BIN", data}, {u"Vorlane.bin", data}, {u"dir/vorlane.bin", data}, {u"vorlane.bin ", data}});
    EXPECT_EQ(Locate(&location), PayloadResult::NotFound);

    // A folder or an empty entry by that name gives no offset and is not found.
    OpenStored({{u"vorlane.bin", {}, true}});
    EXPECT_EQ(Locate(&location), PayloadResult::NotFound);
    OpenStored({{u"vorlane.bin", {}}});
    EXPECT_EQ(Locate(&location), PayloadResult::NotFound);
    OpenStored({});
    EXPECT_EQ(Locate(&location), PayloadResult::NotFound);
    StoredArchiveOptions noNames;
    noNames.names = false;
    OpenStored({{u"vorlane.bin", data}}, noNames);
    EXPECT_EQ(Locate(&location), PayloadResult::NotFound);

    // Next to a real payload they change nothing.
    OpenStored({{u"a", PatternBytes(10, 8)}, {u"vorlane.bin", data}, {u"vorlane.bin", {}, true}, {u"vorlane.bin", {}}});
    ASSERT_EQ(Locate(&location), PayloadResult::Ok);
    EXPECT_EQ(location.offset, archiveStart + 32 + 10);  // the second pack stream
    EXPECT_EQ(location.size, data.size());
}

TEST_F(Payload, EveryNamesakeIsCheckedAndTheLastWins) {
    const std::vector<uint8_t> first = PatternBytes(1000, 9);
    const std::vector<uint8_t> second = PatternBytes(2000, 10);
    PayloadLocation location{};
    OpenStored({{u"vorlane.bin", first}, {u"vorlane.bin", second}});
    ASSERT_EQ(Locate(&location), PayloadResult::Ok);
    EXPECT_EQ(location.offset, archiveStart + 32 + first.size());
    EXPECT_EQ(location.size, second.size());

    // A damaged first one ends the run even though the last is good.
    OpenStored({{u"vorlane.bin", first}, {u"vorlane.bin", second}}, {}, 32 + 10);
    EXPECT_EQ(Locate(&location), PayloadResult::CrcError);
}

TEST_F(Payload, NameThatCannotBeAllocatedIsOutOfMemory) {
    OpenStored({{u"other", PatternBytes(10, 11)}, {u"vorlane.bin", PatternBytes(10, 12)}});
    PayloadLocation location{};
    const size_t blocks = PosixLiveHeapBlocks();
    FaultPlan plan;
    plan.FailNth(PlatOp::HeapAlloc, 2, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Locate(&location), PayloadResult::OutOfMemory);
    EXPECT_EQ(PosixLiveHeapBlocks(), blocks);
    plan.Clear();
    EXPECT_EQ(Locate(&location), PayloadResult::Ok);
}

}  // namespace
