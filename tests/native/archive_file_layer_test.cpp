// The file layer under the decoder, and the CRC checks over files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/file_crc.h"
#include "archive/file_layer.h"
#include "platform/sim_control.h"
#include "tests/support/package.h"
#include "tests/support/temp_dir.h"

namespace {

struct IoFaults {
    PlatOp op = PlatOp::ReadFile;
    uint64_t calls = 0;
    uint64_t failAt = 0;      // 1-based call that fails; 0: none
    uint32_t error = 0;
    uint32_t shortBytes = 0;  // with shortLimit: calls bring at most this many
    bool shortLimit = false;
};

FaultAction IoFaultHook(PlatOp op, const char16_t*, void* context) {
    IoFaults* f = static_cast<IoFaults*>(context);
    FaultAction a;
    if (op != f->op) return a;
    ++f->calls;
    if (f->failAt != 0 && f->calls == f->failAt) {
        a.kind = FaultAction::Fail;
        a.error = f->error;
    } else if (f->shortLimit) {
        a.kind = FaultAction::Short;
        a.shortBytes = f->shortBytes;
    }
    return a;
}

class FileLayer : public ::testing::Test {
protected:
    TempDir dir;
    IoFaults faults;
    void SetUp() override {
        PosixResetControls();
        CrcGenerateTable();
    }
    void TearDown() override { PosixResetControls(); }
    std::string Native(const std::string& name) { return dir.Native() + "/" + name; }
    std::u16string Wide(const std::string& name) { return PosixWidePath(Native(name)); }
    void OpenRead(OwnedFile* h, const std::string& name) {
        ASSERT_TRUE(OpenLongFile(h, Wide(name).c_str(), nullptr));
    }
    void Hook() { PosixSetFaultHook(IoFaultHook, &faults); }
};

TEST_F(FileLayer, ReadsInPiecesOfAtMost4MiB) {
    const std::vector<uint8_t> data = PatternBytes(10u << 20, 1);
    ASSERT_TRUE(WriteBytes(Native("big"), data));
    OwnedFile h;
    OpenRead(&h, "big");
    std::vector<uint8_t> buffer(data.size() + 100);
    size_t read = 0;
    PosixResetCallCounts();
    ASSERT_TRUE(FileRead(h.Get(), buffer.data(), data.size(), &read, nullptr));
    EXPECT_EQ(read, data.size());
    EXPECT_EQ(PosixCallCount(PlatOp::ReadFile), 3u);  // 4 + 4 + 2 MiB
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));

    // Asking for more than is left: a short count and no error, ended by a 0-byte read.
    int64_t position = static_cast<int64_t>(data.size()) - 10;
    ASSERT_TRUE(FileSeek(h.Get(), &position, FILE_BEGIN, nullptr));
    PosixResetCallCounts();
    ASSERT_TRUE(FileRead(h.Get(), buffer.data(), 100, &read, nullptr));
    EXPECT_EQ(read, 10u);
    EXPECT_EQ(PosixCallCount(PlatOp::ReadFile), 2u);
    ASSERT_TRUE(FileRead(h.Get(), buffer.data(), 100, &read, nullptr));
    EXPECT_EQ(read, 0u);
}

TEST_F(FileLayer, PartialReadsAreGatheredAndFailuresCounted) {
    const std::vector<uint8_t> data = PatternBytes(100000, 2);
    ASSERT_TRUE(WriteBytes(Native("f"), data));
    OwnedFile h;
    OpenRead(&h, "f");
    std::vector<uint8_t> buffer(data.size());
    size_t read = 0;

    faults.shortLimit = true;
    faults.shortBytes = 777;
    Hook();
    ASSERT_TRUE(FileRead(h.Get(), buffer.data(), buffer.size(), &read, nullptr));
    EXPECT_EQ(read, data.size());
    EXPECT_EQ(buffer, data);

    // The third call fails: two pieces arrived, the code is the platform's.
    int64_t position = 0;
    ASSERT_TRUE(FileSeek(h.Get(), &position, FILE_BEGIN, nullptr));
    faults = IoFaults{};
    faults.shortLimit = true;
    faults.shortBytes = 1000;
    faults.failAt = 3;
    faults.error = 23;
    uint32_t error = 0;
    ASSERT_FALSE(FileRead(h.Get(), buffer.data(), buffer.size(), &read, &error));
    ASSERT_EQ(error, 23u);
    EXPECT_EQ(read, 2000u);

    // A failure without a reason is a short success.
    ASSERT_TRUE(FileSeek(h.Get(), &position, FILE_BEGIN, nullptr));
    faults.calls = 0;
    faults.error = 0;
    ASSERT_TRUE(FileRead(h.Get(), buffer.data(), buffer.size(), &read, nullptr));
    EXPECT_EQ(read, 2000u);
}

TEST_F(FileLayer, SeekOriginsAndPositionsBeyond4GiB) {
    ASSERT_TRUE(WriteBytes(Native("f"), PatternBytes(1000, 3)));
    OwnedFile h;
    OpenRead(&h, "f");
    int64_t position = 10;
    PosixResetCallCounts();
    uint32_t error = 0;
    EXPECT_FALSE(FileSeek(h.Get(), &position, 3, &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(PosixCallCount(PlatOp::SetFilePointer), 0u);

    position = 100;
    ASSERT_TRUE(FileSeek(h.Get(), &position, FILE_BEGIN, nullptr));
    EXPECT_EQ(position, 100);
    position = 23;
    ASSERT_TRUE(FileSeek(h.Get(), &position, FILE_CURRENT, nullptr));
    EXPECT_EQ(position, 123);
    position = -1;
    ASSERT_TRUE(FileSeek(h.Get(), &position, FILE_END, nullptr));
    EXPECT_EQ(position, 999);

    // The high half travels, and a low half of all ones is no failure even
    // with a stale error code around.
    position = (int64_t{5} << 32) + 7;
    ASSERT_TRUE(FileSeek(h.Get(), &position, FILE_BEGIN, nullptr));
    EXPECT_EQ(position, (int64_t{5} << 32) + 7);
    PlatSetLastError(ERROR_ACCESS_DENIED);
    position = 0xFFFFFFFFll;
    ASSERT_TRUE(FileSeek(h.Get(), &position, FILE_BEGIN, nullptr));
    EXPECT_EQ(position, 0xFFFFFFFFll);

    faults.op = PlatOp::SetFilePointer;
    faults.failAt = 1;
    faults.error = ERROR_INVALID_HANDLE;
    Hook();
    position = 5;
    error = 0;
    EXPECT_FALSE(FileSeek(h.Get(), &position, FILE_BEGIN, &error));
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
    EXPECT_EQ(position, 5);
}

TEST_F(FileLayer, FailedOpenReportsWhyAndLetsGoOfWhatWasHeld) {
    OwnedFile file;
    uint32_t error = 0;
    EXPECT_FALSE(OpenLongFile(&file, Wide("missing").c_str(), &error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(file.Get(), PLAT_INVALID_HANDLE);

    // Closing the file held before must not change the reason given.
    ASSERT_TRUE(WriteBytes(Native("held"), {1}));
    OpenRead(&file, "held");
    EXPECT_EQ(PosixOpenHandleCount(), 1u);
    error = 0;
    EXPECT_FALSE(OpenLongFile(&file, Wide("missing").c_str(), &error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(file.Valid());
    EXPECT_EQ(PosixOpenHandleCount(), 0u);
}

TEST_F(FileLayer, WritesInPiecesAndNeverReportsATruncatedFileAsWritten) {
    const std::vector<uint8_t> data = PatternBytes(10u << 20, 4);
    const std::u16string out = Wide("out");
    auto openForWriting = [&out](OwnedFile* h) {
        h->Reset(PlatCreateFile(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
        return h->Valid();
    };
    OwnedFile h;
    ASSERT_TRUE(openForWriting(&h));
    size_t written = 0;
    PosixResetCallCounts();
    ASSERT_TRUE(FileWrite(h.Get(), data.data(), data.size(), &written, nullptr));
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(PosixCallCount(PlatOp::WriteFile), 3u);
    h.Reset();
    EXPECT_EQ(ReadBytes(Native("out")), data);

    ASSERT_TRUE(openForWriting(&h));
    faults.op = PlatOp::WriteFile;
    faults.shortLimit = true;
    faults.shortBytes = 1000;
    Hook();
    ASSERT_TRUE(FileWrite(h.Get(), data.data(), 5000, &written, nullptr));
    EXPECT_EQ(written, 5000u);

    // A write that takes nothing (a full disk that says nothing) is a failure.
    faults = IoFaults{};
    faults.op = PlatOp::WriteFile;
    faults.shortLimit = true;
    faults.shortBytes = 0;
    uint32_t error = 0;
    EXPECT_FALSE(FileWrite(h.Get(), data.data(), 5000, &written, &error));
    EXPECT_EQ(error, ERROR_WRITE_FAULT);
    EXPECT_EQ(written, 0u);

    faults = IoFaults{};
    faults.op = PlatOp::WriteFile;
    faults.failAt = 2;
    faults.error = ERROR_DISK_FULL;
    EXPECT_FALSE(FileWrite(h.Get(), data.data(), data.size(), &written, &error));
    EXPECT_EQ(error, ERROR_DISK_FULL);
    EXPECT_EQ(written, size_t{MAX_IO_SIZE});
    faults.calls = 0;
    faults.error = 0;
    EXPECT_FALSE(FileWrite(h.Get(), data.data(), data.size(), &written, &error));
    EXPECT_EQ(error, ERROR_WRITE_FAULT);
}

TEST_F(FileLayer, HandleCrcCoversTheWholeFileOrWhatCouldBeRead) {
    // The error code, 0 when the call succeeded.
    auto crcOf = [this](const char* name, uint32_t* crc) {
        OwnedFile file;
        EXPECT_TRUE(OpenLongFile(&file, Wide(name).c_str(), nullptr));
        uint32_t error = 0;
        const bool read = HandleCrc(file.Get(), crc, &error);
        EXPECT_EQ(read, error == 0);
        return error;
    };
    uint32_t crc = 1;
    ASSERT_TRUE(WriteBytes(Native("empty"), {}));
    EXPECT_EQ(crcOf("empty", &crc), 0u);
    EXPECT_EQ(crc, 0u);
    const std::string digits = "123456789";
    ASSERT_TRUE(WriteBytes(Native("digits"), std::vector<uint8_t>(digits.begin(), digits.end())));
    EXPECT_EQ(crcOf("digits", &crc), 0u);
    EXPECT_EQ(crc, 0xCBF43926u);

    const std::vector<uint8_t> data = PatternBytes(2 * CHECK_PIECE_SIZE + 1000, 5);
    ASSERT_TRUE(WriteBytes(Native("data"), data));
    EXPECT_EQ(crcOf("data", &crc), 0u);
    EXPECT_EQ(crc, Crc32(data.data(), data.size()));

    // The third fill fails: the error comes back, the value covers the first two pieces.
    faults.failAt = 3;
    faults.error = 23;
    Hook();
    EXPECT_EQ(crcOf("data", &crc), 23u);
    EXPECT_EQ(crc, Crc32(data.data(), 2 * CHECK_PIECE_SIZE));
    EXPECT_EQ(PosixOpenHandleCount(), 0u);
}

TEST_F(FileLayer, RegionCrcNeedsEveryByteOfTheRange) {
    const size_t piece = CHECK_PIECE_SIZE;
    const std::vector<uint8_t> data = PatternBytes(2 * piece + 5000, 6);
    const size_t size = data.size();
    ASSERT_TRUE(WriteBytes(Native("data"), data));
    OwnedFile h;
    OpenRead(&h, "data");
    auto crc = [&data](size_t from, size_t count) { return Crc32(data.data() + from, count); };
    CheckBuffer run{nullptr, 0};
    ASSERT_TRUE(CheckBufferAlloc(&run));

    // Through a buffer of the call's own and through the run's: the same answers.
    for (CheckBuffer* buffer : {static_cast<CheckBuffer*>(nullptr), &run}) {
        SCOPED_TRACE(buffer == nullptr ? "own buffer" : "run's buffer");
        EXPECT_TRUE(RegionCrcMatches(h.Get(), 1000, 70000, crc(1000, 70000), buffer));
        EXPECT_FALSE(RegionCrcMatches(h.Get(), 1000, 70000, crc(1000, 69999), buffer));
        // Ending exactly at the end of the file, after a short last piece or whole ones.
        EXPECT_TRUE(RegionCrcMatches(h.Get(), 0, size, crc(0, size), buffer));
        EXPECT_TRUE(RegionCrcMatches(h.Get(), size - 2 * piece, 2 * piece, crc(size - 2 * piece, 2 * piece), buffer));
        // One byte past a piece boundary: the second piece is that byte alone.
        EXPECT_TRUE(RegionCrcMatches(h.Get(), 7, piece + 1, crc(7, piece + 1), buffer));
        EXPECT_FALSE(RegionCrcMatches(h.Get(), 7, piece + 1, crc(7, piece), buffer));
        // The CRC of the bytes that exist does not make a range past the end good.
        EXPECT_FALSE(RegionCrcMatches(h.Get(), size - 10000, 10001, crc(size - 10000, 10000), buffer));
        EXPECT_FALSE(RegionCrcMatches(h.Get(), size - piece, piece + 1, crc(size - piece, piece), buffer));
        EXPECT_FALSE(RegionCrcMatches(h.Get(), size * 2, 1, 0, buffer));
        EXPECT_TRUE(RegionCrcMatches(h.Get(), 5, 0, 0, buffer));
        EXPECT_FALSE(RegionCrcMatches(h.Get(), 5, 0, 1, buffer));
    }

    // Short reads are gathered into whole pieces.
    faults.shortLimit = true;
    faults.shortBytes = 4097;
    Hook();
    EXPECT_TRUE(RegionCrcMatches(h.Get(), 7, piece + 1, crc(7, piece + 1), &run));
    EXPECT_TRUE(RegionCrcMatches(h.Get(), 0, size, crc(0, size), &run));
    EXPECT_FALSE(RegionCrcMatches(h.Get(), 0, size, crc(0, size - 1), &run));

    // A failed read, or one that stops early without a reason, fails the check.
    faults = IoFaults{};
    faults.failAt = 2;
    faults.error = 23;
    EXPECT_FALSE(RegionCrcMatches(h.Get(), 0, size, crc(0, size), &run));
    faults.calls = 0;
    faults.error = 0;
    EXPECT_FALSE(RegionCrcMatches(h.Get(), 0, size, crc(0, size), &run));
    CheckBufferFree(&run);
}

// Every kernel this CPU runs, forced in turn: the dispatcher takes only one of
// them on any machine, and the others must give the same value on the CPUs that
// get them. Lengths 0-4096 at offsets 0-63 cross each kernel's block sizes and
// its tails; the continued sums split the input in both, as the checks do.
TEST(Crc32, EveryKernelGivesTheSdksValue) {
    const std::vector<uint8_t> data = PatternBytes(64 + 4096, 21);
    std::vector<uint32_t> expected;
    for (size_t offset = 0; offset < 64; ++offset) {
        for (size_t length = 0; length <= 4096; ++length) expected.push_back(Crc32(data.data() + offset, length));
    }
    const std::vector<uint8_t> large = PatternBytes((16u << 20) + 13, 22);
    const size_t largeSizes[] = {CHECK_PIECE_SIZE, CHECK_PIECE_SIZE + 1, (1u << 20) + 7, large.size()};
    const size_t splitSizes[] = {17, 255, 256, 257, 543, 1000};

    int tried = 0;
    for (int k = 0; k < CRC32_KERNEL_COUNT; ++k) {
        const Crc32Kernel kernel = static_cast<Crc32Kernel>(k);
        SCOPED_TRACE(Crc32KernelName(kernel));
        if (!Crc32KernelRuns(kernel)) {
            EXPECT_FALSE(Crc32ForceKernel(kernel));
            continue;
        }
        ASSERT_TRUE(Crc32ForceKernel(kernel));
        ASSERT_EQ(Crc32KernelInUse(), kernel);
        ++tried;
        size_t wrong = 0;
        size_t at = 0;
        for (size_t offset = 0; offset < 64; ++offset) {
            for (size_t length = 0; length <= 4096; ++length) {
                if (Crc32Update(0, data.data() + offset, length) != expected[at++]) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0u);
        for (const size_t size : splitSizes) {
            for (size_t split = 0; split <= size; ++split) {
                const uint32_t head = Crc32Update(0, data.data() + 3, split);
                if (Crc32Update(head, data.data() + 3 + split, size - split) != expected[3 * 4097 + size]) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0u) << "continued sums";
        for (const size_t size : largeSizes) {
            EXPECT_EQ(Crc32Update(0, large.data(), size), Crc32(large.data(), size)) << size;
            const size_t split = size / 3 + 1;
            EXPECT_EQ(Crc32Update(Crc32Update(0, large.data(), split), large.data() + split, size - split),
                      Crc32(large.data(), size))
                << size;
        }
    }
    ASSERT_TRUE(Crc32ForceKernel(Crc32PickKernel()));
    EXPECT_GE(tried, 1);
    EXPECT_TRUE(Crc32KernelRuns(Crc32Kernel::Table));
}

}  // namespace
