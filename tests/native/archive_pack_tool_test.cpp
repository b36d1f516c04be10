// vorlane-pack: the layout the launcher relies on, and what it refuses.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"

namespace {

class PackTool : public ::testing::Test {
protected:
    TempDir dir;
    std::vector<uint8_t> payload = PatternBytes(54321, 1);
    std::vector<uint8_t> runtime = PatternBytes(80000, 2);

    void SetUp() override {
        ASSERT_TRUE(WriteBytes(dir.Native("app.data"), payload));
        ASSERT_TRUE(WriteBytes(dir.Native("stub.dll"), runtime));
    }
    int Pack(const std::string& launcher, std::string* output, const std::string& payloadName = "app.data") {
        return RunPackTool(VORLANE_BINARY_DIR, dir.Native(launcher), dir.Native(payloadName), dir.Native("stub.dll"),
                           dir.Native("out.exe"), output);
    }
    std::vector<std::string> Files() {
        std::vector<std::string> names;
        DIR* d = opendir(dir.Native().c_str());
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
        return names;
    }
};

TEST_F(PackTool, CutsTheImageAtItsSearchStartAndStoresThePayloadFirst) {
    // Bytes after the sections (a symbol table, an older archive) are dropped.
    std::vector<uint8_t> launcher = MakeLauncherImage();
    const size_t imageEnd = launcher.size();
    launcher.insert(launcher.end(), 5000, 0xCC);
    ASSERT_TRUE(WriteBytes(dir.Native("launcher.exe"), launcher));
    std::string output;
    ASSERT_EQ(Pack("launcher.exe", &output), 0) << output;

    const std::vector<uint8_t> out = ReadBytes(dir.Native("out.exe"));
    ASSERT_GT(out.size(), imageEnd + 32 + payload.size());
    // The image as it was but for its checksum, which now covers the whole file.
    const size_t checksum = 0x80 + 24 + 64;
    const uint32_t recorded = out[checksum] | (out[checksum + 1] << 8) | (out[checksum + 2] << 16) |
                              (static_cast<uint32_t>(out[checksum + 3]) << 24);
    EXPECT_EQ(recorded, DefinedPeChecksum(out, checksum));
    std::vector<uint8_t> image(out.begin(), out.begin() + static_cast<long>(imageEnd));
    std::fill(image.begin() + static_cast<long>(checksum), image.begin() + static_cast<long>(checksum) + 4, 0);
    EXPECT_TRUE(std::equal(launcher.begin(), launcher.begin() + static_cast<long>(imageEnd), image.begin()));
    EXPECT_EQ(FindStartHeaderIn(out), imageEnd);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin() + static_cast<long>(imageEnd + 32)));

    std::string listing;
    ASSERT_EQ(Run7zz({"l", "-slt", dir.Native("out.exe")}, "", &listing), 0) << listing;
    const size_t payloadAt = listing.find("Path = vorlane.bin\n");
    const size_t runtimeAt = listing.find("Path = VorlaneStub.dll\n");
    ASSERT_NE(payloadAt, std::string::npos) << listing;
    ASSERT_NE(runtimeAt, std::string::npos) << listing;
    EXPECT_LT(payloadAt, runtimeAt);
    EXPECT_NE(listing.find("Method = Copy\n", payloadAt), std::string::npos);
    EXPECT_NE(listing.find("Method = BCJ2", runtimeAt), std::string::npos);
    EXPECT_EQ(Files().size(), 4u);  // nothing left behind
}

TEST_F(PackTool, RefusesWhatTheLauncherCouldNotUseAndLeavesNoOutput) {
    ASSERT_TRUE(WriteBytes(dir.Native("launcher.exe"), MakeLauncherImage()));
    PeImageOptions pe32;
    pe32.magic = 0x10B;
    ASSERT_TRUE(WriteBytes(dir.Native("pe32.exe"), MakePeImage({{0x200, 0x400}}, pe32)));
    PeImageOptions arm;
    arm.machine = 0xAA64;
    ASSERT_TRUE(WriteBytes(dir.Native("arm.exe"), MakePeImage({{0x200, 0x400}}, arm)));
    ASSERT_TRUE(WriteBytes(dir.Native("text.exe"), {'h', 'e', 'l', 'l', 'o'}));
    ASSERT_TRUE(WriteBytes(dir.Native("empty.data"), {}));

    struct Case {
        const char* launcher;
        const char* payload;
        const char* message;
    };
    for (const Case& c : {Case{"pe32.exe", "app.data", "64-bit"}, Case{"arm.exe", "app.data", "64-bit"},
                          Case{"text.exe", "app.data", "not a PE"}, Case{"missing.exe", "app.data", "not found"},
                          Case{"launcher.exe", "missing.data", "payload not found"},
                          Case{"launcher.exe", "empty.data", "empty"}}) {
        std::string output;
        EXPECT_NE(Pack(c.launcher, &output, c.payload), 0) << c.launcher << " " << c.payload;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        EXPECT_FALSE(dir.Exists("out.exe"));
    }
    EXPECT_EQ(Files().size(), 7u);

    // An existing output stays as it was when packing fails.
    ASSERT_TRUE(dir.WriteFile("out.exe", "previous"));
    std::string output;
    EXPECT_NE(Pack("pe32.exe", &output), 0);
    EXPECT_EQ(dir.ReadFile("out.exe"), "previous");
}

}  // namespace
