// The archive reader over real 7z archives made by 7zz and vorlane-pack:
// opening, names, folder decoding, and what damage and faults turn into.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/file_layer.h"
#include "platform/sim_control.h"
#include "tests/support/fault.h"
#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"

namespace {

class ArchiveReading : public ::testing::Test {
protected:
    TempDir dir;
    OwnedFile file;
    ArchiveReader reader;
    bool setUp = false;

    void SetUp() override {
        PosixResetControls();
        CrcGenerateTable();
    }
    void TearDown() override {
        if (setUp) ArchiveReaderClose(&reader);
        file.Reset();
        PosixResetControls();
    }
    std::string Native(const std::string& name) { return dir.Native() + "/" + name; }

    // Opens the archive at offset of the named file; returns the decoder's code.
    SRes OpenAt(const std::string& name, uint64_t offset) {
        if (setUp) ArchiveReaderClose(&reader);
        file.Reset();
        EXPECT_TRUE(OpenLongFile(&file, PosixWidePath(Native(name)).c_str(), nullptr));
        int64_t position = static_cast<int64_t>(offset);
        EXPECT_TRUE(FileSeek(file.Get(), &position, FILE_BEGIN, nullptr));
        ArchiveReaderSetUp(&reader, file.Get());
        setUp = true;
        EXPECT_TRUE(ArchiveReaderAllocBuffers(&reader));
        SRes code = SZ_ERROR_FAIL;
        const bool opened = ArchiveReaderOpen(&reader, &code);
        EXPECT_EQ(opened, code == SZ_OK);
        return code;
    }
    void Make(const std::string& archive, const std::vector<std::string>& switches,
              const std::vector<std::string>& names) {
        std::vector<std::string> args{"a", "-bd", "-bso0", "-bsp0"};
        args.insert(args.end(), switches.begin(), switches.end());
        args.push_back(archive);
        args.insert(args.end(), names.begin(), names.end());
        std::string output;
        ASSERT_EQ(Run7zz(args, dir.Native(), &output), 0) << output;
    }
    std::u16string Name(uint32_t index) {
        char16_t* name = nullptr;
        EXPECT_TRUE(CopyEntryName(&reader.db, index, &name));
        std::u16string result = name != nullptr ? name : u"";
        PlatHeapFree(name);
        return result;
    }
    uint32_t IndexOf(const std::u16string& name) {
        for (uint32_t i = 0; i < reader.db.NumFiles; ++i) {
            if (Name(i) == name) return i;
        }
        ADD_FAILURE() << "no entry " << Utf16ToUtf8(name);
        return 0;
    }
};

TEST_F(ArchiveReading, EntriesOfOneFolderAreEachDecodedFromItsStart) {
    const std::vector<uint8_t> a = PatternBytes(50000, 1);
    const std::vector<uint8_t> b = PatternBytes(70000, 2);
    ASSERT_TRUE(WriteBytes(Native("a"), a));
    ASSERT_TRUE(WriteBytes(Native("b"), b));
    Make("solid.7z", {"-ms=on", "-m0=LZMA"}, {"a", "b"});
    ASSERT_EQ(OpenAt("solid.7z", 0), SZ_OK);
    ASSERT_EQ(reader.db.NumFiles, 2u);
    ASSERT_EQ(reader.db.db.NumFolders, 1u);
    const uint32_t ia = IndexOf(u"a");
    const uint32_t ib = IndexOf(u"b");
    EXPECT_EQ(EntrySize(&reader.db, ia), a.size());
    EXPECT_FALSE(EntryIsDir(&reader.db, ia));
    bool defined = false;
    EXPECT_EQ(EntryCrc(&reader.db, ib, &defined), Crc32(b.data(), b.size()));
    EXPECT_TRUE(defined);

    const size_t blocks = PosixLiveHeapBlocks();
    for (uint32_t index : {ib, ia, ib}) {
        DecodedEntry entry{};
        PosixResetCallCounts();
        ASSERT_TRUE(DecodeEntryFolder(&reader, index, &entry, nullptr));
        // No decoded folder survives between calls: every call reads the archive.
        EXPECT_GT(PosixCallCount(PlatOp::ReadFile), 0u);
        EXPECT_EQ(entry.bufferSize, a.size() + b.size());
        const std::vector<uint8_t>& expected = index == ia ? a : b;
        ASSERT_EQ(entry.size, expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), entry.buffer + entry.offset));
        FreeDecodedEntry(&reader, &entry);
        EXPECT_EQ(entry.buffer, nullptr);
        EXPECT_EQ(PosixLiveHeapBlocks(), blocks);
    }
}

TEST_F(ArchiveReading, EntriesWithoutDataDecodeToNothing) {
    ASSERT_TRUE(WriteBytes(Native("empty"), {}));
    ASSERT_TRUE(dir.MakeDir("folder"));
    ASSERT_TRUE(WriteBytes(Native("full"), PatternBytes(1000, 3)));
    Make("mixed.7z", {}, {"empty", "folder", "full"});
    ASSERT_EQ(OpenAt("mixed.7z", 0), SZ_OK);
    for (const std::u16string& name : {std::u16string(u"empty"), std::u16string(u"folder")}) {
        const uint32_t index = IndexOf(name);
        EXPECT_EQ(reader.db.FileToFolder[index], 0xFFFFFFFFu);
        DecodedEntry entry{};
        PosixResetCallCounts();
        ASSERT_TRUE(DecodeEntryFolder(&reader, index, &entry, nullptr));
        EXPECT_EQ(entry.buffer, nullptr);
        EXPECT_EQ(entry.bufferSize, 0u);
        EXPECT_EQ(entry.size, 0u);
        EXPECT_EQ(PosixCallCount(PlatOp::ReadFile), 0u);
        FreeDecodedEntry(&reader, &entry);
    }
    EXPECT_TRUE(EntryIsDir(&reader.db, IndexOf(u"folder")));
    EXPECT_FALSE(EntryIsDir(&reader.db, IndexOf(u"empty")));
}

TEST_F(ArchiveReading, DamageAndUnsupportedMethodsGiveTheDecoderCodes) {
    const std::vector<uint8_t> data = PatternBytes(300000, 4);
    ASSERT_TRUE(WriteBytes(Native("data"), data));
    Make("good.7z", {"-m0=LZMA"}, {"data"});
    const std::vector<uint8_t> good = ReadBytes(Native("good.7z"));
    ASSERT_EQ(OpenAt("good.7z", 0), SZ_OK);

    // Cut inside the next header: the file ends too early.
    ASSERT_TRUE(WriteBytes(Native("cut.7z"), std::vector<uint8_t>(good.begin(), good.end() - 5)));
    EXPECT_EQ(OpenAt("cut.7z", 0), SZ_ERROR_INPUT_EOF);
    EXPECT_EQ(reader.db.NumFiles, 0u);  // the failed open leaves nothing behind

    // A byte of the next header changed: its CRC no longer matches.
    std::vector<uint8_t> damaged = good;
    damaged[damaged.size() - 3] ^= 0x40;
    ASSERT_TRUE(WriteBytes(Native("damaged.7z"), damaged));
    EXPECT_EQ(OpenAt("damaged.7z", 0), SZ_ERROR_ARCHIVE);

    // The start header itself.
    damaged = good;
    damaged[14] ^= 0x01;
    ASSERT_TRUE(WriteBytes(Native("start.7z"), damaged));
    EXPECT_EQ(OpenAt("start.7z", 0), SZ_ERROR_CRC);
    damaged = good;
    damaged[6] = 1;  // major version
    ASSERT_TRUE(WriteBytes(Native("version.7z"), damaged));
    EXPECT_EQ(OpenAt("version.7z", 0), SZ_ERROR_UNSUPPORTED);
    EXPECT_EQ(OpenAt("data", 0), SZ_ERROR_NO_ARCHIVE);

    // Packed data changed: the decoder or the entry CRC notices.
    damaged = good;
    damaged[32 + 1000] ^= 0xFF;
    ASSERT_TRUE(WriteBytes(Native("packed.7z"), damaged));
    ASSERT_EQ(OpenAt("packed.7z", 0), SZ_OK);
    DecodedEntry entry{};
    SRes decoded = SZ_OK;
    EXPECT_FALSE(DecodeEntryFolder(&reader, 0, &entry, &decoded));
    EXPECT_TRUE(decoded == SZ_ERROR_DATA || decoded == SZ_ERROR_CRC) << decoded;
    FreeDecodedEntry(&reader, &entry);

    // PPMd is not built in: a PPMd entry cannot be decoded, and a header
    // encoded with PPMd cannot even be opened.
    Make("ppmd.7z", {"-m0=PPMd"}, {"data"});
    ASSERT_EQ(OpenAt("ppmd.7z", 0), SZ_OK);
    decoded = SZ_OK;
    EXPECT_FALSE(DecodeEntryFolder(&reader, 0, &entry, &decoded));
    EXPECT_EQ(decoded, SZ_ERROR_UNSUPPORTED);
    FreeDecodedEntry(&reader, &entry);
    const std::vector<uint8_t> encodedHeader{
        0x17,                                      // encoded header
        0x06, 0x00, 0x01, 0x09, 0x0A, 0x00,        // one pack stream of 10 bytes at 0
        0x07, 0x0B, 0x01, 0x00,                    // one folder, inline
        0x01, 0x23, 0x03, 0x04, 0x01,              // one coder: PPMd, with properties
        0x05, 0x06, 0x00, 0x00, 0x10, 0x00,        // order 6, 1 MiB
        0x0C, 0x64, 0x00,                          // unpacks to 100 bytes
        0x00};
    std::vector<uint8_t> ppmdHeader = MakeStartHeader(10, encodedHeader.size(), Crc32(encodedHeader.data(), encodedHeader.size()));
    ppmdHeader.insert(ppmdHeader.end(), 10, 0x00);
    ppmdHeader.insert(ppmdHeader.end(), encodedHeader.begin(), encodedHeader.end());
    ASSERT_TRUE(WriteBytes(Native("ppmdheader.7z"), ppmdHeader));
    EXPECT_EQ(OpenAt("ppmdheader.7z", 0), SZ_ERROR_UNSUPPORTED);
}

TEST_F(ArchiveReading, StoredEntryWithAWrongCrcIsRefusedAndReleased) {
    std::vector<uint8_t> archive = BuildStoredArchive({{u"x", PatternBytes(5000, 5)}});
    archive[32 + 100] ^= 0x01;
    ASSERT_TRUE(WriteBytes(Native("x.7z"), archive));
    ASSERT_EQ(OpenAt("x.7z", 0), SZ_OK);
    const size_t blocks = PosixLiveHeapBlocks();
    DecodedEntry entry{};
    SRes decoded = SZ_OK;
    EXPECT_FALSE(DecodeEntryFolder(&reader, 0, &entry, &decoded));
    EXPECT_EQ(decoded, SZ_ERROR_CRC);
    FreeDecodedEntry(&reader, &entry);
    EXPECT_EQ(PosixLiveHeapBlocks(), blocks);

    // Without recorded CRCs nothing is compared.
    StoredArchiveOptions options;
    options.crcs = false;
    archive = BuildStoredArchive({{u"x", PatternBytes(5000, 5)}}, options);
    archive[32 + 100] ^= 0x01;
    ASSERT_TRUE(WriteBytes(Native("y.7z"), archive));
    ASSERT_EQ(OpenAt("y.7z", 0), SZ_OK);
    bool defined = true;
    EXPECT_EQ(EntryCrc(&reader.db, 0, &defined), 0u);
    EXPECT_FALSE(defined);
    EXPECT_TRUE(DecodeEntryFolder(&reader, 0, &entry, nullptr));
    FreeDecodedEntry(&reader, &entry);
}

TEST_F(ArchiveReading, FaultsReachTheDecoderAsItsCodes) {
    ASSERT_TRUE(WriteBytes(Native("data"), PatternBytes(100000, 6)));
    Make("a.7z", {"-m0=LZMA"}, {"data"});

    // A platform read failure: the decoder sees 8, the stream keeps the code.
    ASSERT_TRUE(OpenLongFile(&file, PosixWidePath(Native("a.7z")).c_str(), nullptr));
    ArchiveReaderSetUp(&reader, file.Get());
    setUp = true;
    ASSERT_TRUE(ArchiveReaderAllocBuffers(&reader));
    {
        FaultPlan plan;
        plan.FailAll(PlatOp::ReadFile, 23);
        SRes code = SZ_OK;
        EXPECT_FALSE(ArchiveReaderOpen(&reader, &code));
        EXPECT_EQ(code, SZ_ERROR_READ);
        EXPECT_EQ(reader.fileStream.lastError, 23u);
    }
    ArchiveReaderClose(&reader);
    setUp = false;

    // Every allocation of the set-up, the open and the decode, failed in turn:
    // 2 (or false for the look-ahead buffer) and nothing leaked.
    const size_t blocks = PosixLiveHeapBlocks();
    for (uint64_t n = 1;; ++n) {
        int64_t position = 0;
        ASSERT_TRUE(FileSeek(file.Get(), &position, FILE_BEGIN, nullptr));
        ArchiveReader r;
        ArchiveReaderSetUp(&r, file.Get());
        SRes result = SZ_OK;
        uint64_t fired = 0;
        {
            FaultPlan plan;
            plan.FailNth(PlatOp::HeapAlloc, n, ERROR_NOT_ENOUGH_MEMORY);
            if (!ArchiveReaderAllocBuffers(&r)) {
                result = SZ_ERROR_MEM;
            } else if (ArchiveReaderOpen(&r, &result)) {
                DecodedEntry entry{};
                DecodeEntryFolder(&r, 0, &entry, &result);
                FreeDecodedEntry(&r, &entry);
            }
            fired = plan.Fired();
        }
        ArchiveReaderClose(&r);
        ArchiveReaderClose(&r);  // a second release frees nothing twice
        EXPECT_EQ(PosixLiveHeapBlocks(), blocks) << "allocation " << n;
        if (fired == 0) {
            EXPECT_EQ(result, SZ_OK);
            EXPECT_GT(n, 5u);
            break;
        }
        EXPECT_EQ(result, SZ_ERROR_MEM) << "allocation " << n;
        ASSERT_LT(n, 500u);
    }
}

TEST_F(ArchiveReading, NamesAreCopiedWithTheirTerminator) {
    ASSERT_TRUE(WriteBytes(Native("x.7z"), BuildStoredArchive({{u"Grüße.txt", {1}}, {u"", {2}}})));
    ASSERT_EQ(OpenAt("x.7z", 0), SZ_OK);
    char16_t* name = nullptr;
    ASSERT_TRUE(CopyEntryName(&reader.db, 0, &name));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::u16string(name), u"Grüße.txt");
    PlatHeapFree(name);
    ASSERT_TRUE(CopyEntryName(&reader.db, 1, &name));
    ASSERT_NE(name, nullptr);  // the terminator alone
    EXPECT_EQ(name[0], u'\0');
    PlatHeapFree(name);

    {
        FaultPlan plan;
        plan.FailNth(PlatOp::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
        name = reinterpret_cast<char16_t*>(uintptr_t{1});
        EXPECT_FALSE(CopyEntryName(&reader.db, 0, &name));
        EXPECT_EQ(name, nullptr);
    }

    StoredArchiveOptions options;
    options.names = false;
    ASSERT_TRUE(WriteBytes(Native("n.7z"), BuildStoredArchive({{u"a", {1}}}, options)));
    ASSERT_EQ(OpenAt("n.7z", 0), SZ_OK);
    ASSERT_TRUE(CopyEntryName(&reader.db, 0, &name));
    EXPECT_EQ(name, nullptr);
}

TEST_F(ArchiveReading, PackagedRuntimeDecodesThroughItsBcj2Folder) {
    ASSERT_TRUE(WriteBytes(Native("launcher.exe"), MakeLauncherImage()));
    const std::vector<uint8_t> payload = PatternBytes(123457, 7);
    // Code-like bytes with many call and jump opcodes for the branch converter.
    std::vector<uint8_t> runtime = PatternBytes(400000, 8);
    for (size_t i = 0; i < runtime.size(); i += 17) runtime[i] = (i % 2) != 0 ? 0xE8 : 0xE9;
    ASSERT_TRUE(WriteBytes(Native("payload"), payload));
    ASSERT_TRUE(WriteBytes(Native("runtime"), runtime));
    std::string output;
    ASSERT_EQ(RunPackTool(VORLANE_BINARY_DIR, Native("launcher.exe"), Native("payload"), Native("runtime"),
                          Native("packed.exe"), &output),
              0)
        << output;
    const std::vector<uint8_t> packed = ReadBytes(Native("packed.exe"));
    const size_t start = FindStartHeaderIn(packed);
    ASSERT_EQ(start, MakeLauncherImage().size());
    ASSERT_EQ(OpenAt("packed.exe", start), SZ_OK);
    ASSERT_EQ(reader.db.NumFiles, 2u);
    EXPECT_EQ(Name(0), u"vorlane.bin");
    EXPECT_EQ(Name(1), u"VorlaneStub.dll");
    EXPECT_EQ(reader.db.dataPos, start + 32u);

    DecodedEntry entry{};
    ASSERT_TRUE(DecodeEntryFolder(&reader, 1, &entry, nullptr));
    ASSERT_EQ(entry.size, runtime.size());
    EXPECT_TRUE(std::equal(runtime.begin(), runtime.end(), entry.buffer + entry.offset));
    FreeDecodedEntry(&reader, &entry);
}

}  // namespace
