// The plain layer the shipped Linux tools run on, alone in its binary (the
// simulator defines the same operations): the Windows answers the tools rely
// on, for the "Z:\..." paths they hand it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/posix_common.h"

namespace {

class PlainLayer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = std::string(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") + "/plain-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/data.bin";
        const int fd = open(file_.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "0123456789", 10), 10);
        close(fd);
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

    // The long form the file layer hands over.
    static std::u16string Wide(const std::string& native) { return u"\\\\?\\" + PosixWidePath(native); }

    PlatFile Open(const std::string& native) {
        return PlatCreateFile(Wide(native).c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL);
    }

    std::string dir_;
    std::string file_;
};

TEST_F(PlainLayer, OpenFailuresCarryWindowsCodes) {
    EXPECT_EQ(Open(dir_ + "/missing.bin"), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(dir_ + "/missing/data.bin"), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(dir_), PLAT_INVALID_HANDLE);  // a folder, without backup semantics
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
    // Nothing is ever opened for writing.
    EXPECT_EQ(PlatCreateFile(Wide(file_).c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0), PLAT_INVALID_HANDLE);
    EXPECT_NE(PlatGetLastError(), ERROR_SUCCESS);
}

TEST_F(PlainLayer, SeeksAndReadsAsWindowsDoes) {
    const PlatFile file = Open(file_);
    ASSERT_NE(file, PLAT_INVALID_HANDLE);
    int32_t high = -1;
    EXPECT_EQ(PlatSetFilePointer(file, -4, &high, FILE_END), 6u);
    EXPECT_EQ(high, 0);
    char buffer[8] = {};
    uint32_t got = 0;
    ASSERT_TRUE(PlatReadFile(file, buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "6789");
    ASSERT_TRUE(PlatReadFile(file, buffer, sizeof buffer, &got));  // at the end: success, nothing read
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(PlatSetFilePointer(file, -11, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(PlatGetLastError(), 131u);  // ERROR_NEGATIVE_SEEK
    EXPECT_EQ(PlatSetFilePointer(file, 0, nullptr, FILE_CURRENT), 10u);  // unmoved by the refusal
    uint64_t size = 0;
    ASSERT_TRUE(PlatGetFileSizeEx(file, &size));
    EXPECT_EQ(size, 10u);
    EXPECT_TRUE(PlatCloseHandle(file));
}

TEST_F(PlainLayer, DescriptorZeroIsAValidHandle) {
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    const PlatFile file = Open(file_);
    EXPECT_NE(file, nullptr);
    EXPECT_NE(file, PLAT_INVALID_HANDLE);
    char c = 0;
    uint32_t got = 0;
    EXPECT_TRUE(PlatReadFile(file, &c, 1, &got));
    EXPECT_EQ(c, '0');
    EXPECT_TRUE(PlatCloseHandle(file));
    dup2(saved, 0);
    close(saved);
}

TEST_F(PlainLayer, AttributesDescribeTheObjectItself) {
    ASSERT_EQ(symlink(dir_.c_str(), (dir_ + "/to-folder").c_str()), 0);
    ASSERT_EQ(chmod(file_.c_str(), 0444), 0);
    EXPECT_EQ(PlatGetFileAttributes(Wide(dir_ + "/to-folder").c_str()),
              FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(PlatGetFileAttributes(Wide(file_).c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(PlatGetFileAttributes((Wide(dir_) + u"\\").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(PlatGetFileAttributes(Wide(dir_ + "/gone/x").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(PlatGetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
