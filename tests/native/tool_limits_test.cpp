// The tools under inputs built to exhaust them: icons whose work the code caps
// (a thin PNG whose square would take a gigabyte, an .ico whose thousands of
// entries name the same bytes) are refused with a message and exit 1, and a
// tool that runs out of memory (under an address-space limit) says so and
// ends with exit 1, never with an abort, leaving nothing behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/picture.h"
#include "tests/support/temp_dir.h"

// g++ names AddressSanitizer with a macro, clang with a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

namespace {

// The cross-built launcher, from the win64 tree this one was configured with.
const std::string LAUNCHER = VORLANE_WIN64_DIR "/VorlaneLauncher.exe";
const std::string INSPECT = std::string(VORLANE_BINARY_DIR) + "/tools/vorlane-inspect";
// What the tools may use beyond what they map to start: ample for every
// input below but the one meant to exhaust it.
constexpr int HEADROOM_MIB = 48;

void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

class ToolLimits : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        const std::vector<uint8_t> launcher = ReadBytes(LAUNCHER);
        ASSERT_FALSE(launcher.empty()) << "missing " << LAUNCHER << ": build the win64 tree first";
        ASSERT_TRUE(WriteBytes(dir.Native("launcher.exe"), launcher));
        ASSERT_TRUE(WriteBytes(dir.Native("app.bin"), PatternBytes(5000, 1)));
        ASSERT_TRUE(WriteBytes(dir.Native("runtime.dll"), MakeRuntimeImage()));
    }
    std::vector<std::string> PackArgs(const std::vector<std::string>& extra) {
        std::vector<std::string> argv{PackToolPath(VORLANE_BINARY_DIR), "--launcher", dir.Native("launcher.exe"),
                                      "--payload", dir.Native("app.bin"), "--runtime", dir.Native("runtime.dll"),
                                      "-o", dir.Native("out.exe"), "--unchecked-runtime"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
    // The program under an address-space limit of what it maps to print its
    // version, plus megabytes.
    int Limited(std::vector<std::string> argv, int megabytes, std::string* output) {
#if defined(UNDER_ASAN)
        // AddressSanitizer maps terabytes of shadow memory, which no limit
        // fits: the refusal and its message are still checked, unlimited.
        (void)megabytes;
        return RunProgram(argv, "", output);
#endif
        const int base = MappedAtStart(argv[0]);
        if (base <= 0) return -1;
        argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -v " + std::to_string(base + megabytes * 1024) +
                                                        " && exec \"$0\" \"$@\""});
        return RunProgram(argv, "", output);
    }
    // The smallest address-space limit (KiB) under which the program prints its version.
    static int MappedAtStart(const std::string& program) {
        static std::map<std::string, int> known;
        if (known.count(program) != 0) return known[program];
        int low = 0;
        int high = 1 << 20;  // 1 GiB
        while (high - low > 256) {
            const int middle = (low + high) / 2;
            std::string output;
            const int status = RunProgram({"/bin/sh", "-c", "ulimit -v " + std::to_string(middle) +
                                                                " && exec \"$0\" --version", program},
                                          "", &output);
            (status == 0 ? high : low) = middle;
        }
        return known[program] = high;
    }
    std::vector<std::string> Files() {
        std::vector<std::string> names;
        DIR* d = opendir(dir.Native().c_str());
        while (dirent* e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
        return names;
    }
};

TEST_F(ToolLimits, IconsBeyondTheStatedCapsAreRefusedWithAMessage) {
    // A few hundred bytes of PNG whose square would be 16384 pixels a side.
    const std::vector<uint8_t> thin = PngBytes(16384, 1, 0);
    ASSERT_LT(thin.size(), 1000u);
    ASSERT_TRUE(WriteBytes(dir.Native("thin.png"), thin));
    // A 1 MiB .ico whose 4000 entries all name the same bytes.
    std::vector<uint8_t> ico = {0, 0, 1, 0, 0xA0, 0x0F};
    const uint32_t offset = 6 + 16 * 4000;
    for (int i = 0; i < 4000; ++i) {
        ico.insert(ico.end(), {16, 16, 0, 0, 1, 0, 32, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        Put32(&ico, ico.size() - 8, (1u << 20) - offset);
        Put32(&ico, ico.size() - 4, offset);
    }
    ico.resize(1u << 20, 0x5A);
    ASSERT_TRUE(WriteBytes(dir.Native("same.ico"), ico));

    const std::pair<const char*, const char*> cases[] = {
        {"thin.png", "larger than 4096 pixels on its longer side"},
        {"same.ico", "lists more than 256 images"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        std::string output;
        // Well within memory the uncapped work would have exceeded many times over.
        EXPECT_EQ(Limited(PackArgs({"--icon", dir.Native(c.first)}), HEADROOM_MIB, &output), 1) << output;
        EXPECT_NE(output.find(c.second), std::string::npos) << output;
        EXPECT_NE(output.find(dir.Native(c.first)), std::string::npos) << output;
        EXPECT_FALSE(dir.Exists("out.exe"));
    }
}

TEST_F(ToolLimits, RunningOutOfMemoryEndsWithAMessageAndLeavesNothing) {
#if defined(UNDER_ASAN)
    GTEST_SKIP() << "AddressSanitizer maps terabytes of shadow memory: no address-space limit fits it";
#endif
    // The standard library's allocation fails: a runtime library read whole
    // (sparse, so the disk holds nothing of it).
    const int fd = open(dir.Native("huge.dll").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 512 << 20), 0);
    close(fd);
    std::vector<std::string> argv = PackArgs({});
    argv[6] = dir.Native("huge.dll");
    std::string output;
    EXPECT_EQ(Limited(argv, HEADROOM_MIB, &output), 1) << output;
    EXPECT_NE(output.find("vorlane-pack: out of memory"), std::string::npos) << output;

    // stb's own allocation fails: a picture within the caps whose 32 MiB of pixels do not fit.
    ASSERT_TRUE(WriteBytes(dir.Native("big.png"), PngBytes(4096, 2048, 0)));
    EXPECT_EQ(Limited(PackArgs({"--icon", dir.Native("big.png")}), 32, &output), 1) << output;
    EXPECT_NE(output.find("not enough memory to make the icon"), std::string::npos) << output;
    for (const std::string& name : Files()) EXPECT_EQ(name.find("out.exe"), std::string::npos) << name;

    // vorlane-inspect: a launcher image of 60 MB, read whole for its resources.
    std::vector<uint8_t> headers = MakePeImage({{0x400, 0x400}, {60u << 20, 0x800}}, {0x80, 0x8664, 0x20B, 0x1000});
    ASSERT_TRUE(WriteBytes(dir.Native("tall.exe"), headers));
    ASSERT_EQ(truncate(dir.Native("tall.exe").c_str(), (60 << 20) + 0x1000), 0);
    EXPECT_EQ(Limited({INSPECT, dir.Native("tall.exe")}, 32, &output), 1) << output;
    EXPECT_EQ(output, "vorlane-inspect: out of memory: no report\n");
    EXPECT_EQ(RunProgram({INSPECT, dir.Native("tall.exe")}, "", &output), 1) << output;
    EXPECT_NE(output.find("7z archive not found"), std::string::npos) << output;
}

}  // namespace
