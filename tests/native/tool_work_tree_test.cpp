// The tools' work folders and leftovers by handle (tools/host/work_tree.h),
// over the simulator where links behave as on Windows: a work folder is made
// and held so that its name cannot be taken over, its removal never reaches
// through a link inside it, and a sweep takes only names of ours whose owner
// is gone, never what a living owner holds or what others named.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/owned.h"
#include "cache/remove_tree.h"
#include "platform/sim_control.h"
#include "tools/host/output_internal.h"
#include "tests/support/temp_dir.h"
#include "tools/host/work_tree.h"

namespace {

constexpr uint32_t LIVE_PID = 4242;
constexpr uint32_t DEAD_PID = 777;

bool OnlyLivePidRuns(uint32_t pid) { return pid == LIVE_PID; }

mode_t ModeOf(const std::string& native) {
    struct stat st;
    return lstat(native.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

class WorkTrees : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        PosixResetControls();
        ASSERT_TRUE(dir.Valid());
        ASSERT_TRUE(dir.MakeDir("temp"));
    }
    void TearDown() override {
        EXPECT_EQ(PosixOpenHandleCount(), 0u);
        PosixResetControls();
    }

    // The folder held as the tool host holds its temporary folder.
    OwnedFile Held(const std::string& relative) {
        return OwnedFile(PlatCreateFile(dir.Wide(relative).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS));
    }
};

TEST_F(WorkTrees, AWorkFolderIsHeldAgainstRenamingAndRemovedWithoutReachingThroughLinks) {
    OwnedFile temp = Held("temp");
    ASSERT_TRUE(temp.Valid());
    const std::string name = ToolWorkFolderName(LIVE_PID, 0x1234);
    bool taken = true;
    OwnedFile work(MakeWorkFolderAt(temp.Get(), Wide(name).c_str(), &taken));
    ASSERT_TRUE(work.Valid());
    EXPECT_FALSE(taken);
    const std::string inside = "temp/" + name;

    // Held with no delete sharing: nobody renames it or swaps it for a link meanwhile.
    EXPECT_FALSE(dir.Exists("temp/other"));
    const PlatFile swap = PlatCreateFile(dir.Wide(inside).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                         FILE_SHARE_DELETE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    EXPECT_EQ(swap, PLAT_INVALID_HANDLE);
    if (swap != PLAT_INVALID_HANDLE) PlatCloseHandle(swap);

    // What a signer leaves, and links a hostile process put there.
    ASSERT_TRUE(dir.WriteFile(inside + "/signed.dll", "signed"));
    ASSERT_TRUE(dir.WriteFile(inside + "/readonly.txt", "r"));
    ASSERT_TRUE(dir.SetMode(inside + "/readonly.txt", 0444));
    ASSERT_TRUE(dir.WriteFile(inside + "/sub/deeper/out.tmp", "o"));
    ASSERT_TRUE(dir.WriteFile("outside/dir/keep.txt", "keep"));
    ASSERT_TRUE(dir.SetMode("outside/dir/keep.txt", 0444));
    ASSERT_TRUE(dir.WriteFile("outside/file.txt", "keep"));
    ASSERT_TRUE(dir.SetMode("outside/file.txt", 0444));
    ASSERT_TRUE(dir.MakeSymlink(inside + "/dirlink", dir.Native("outside/dir")));
    ASSERT_TRUE(dir.MakeSymlink(inside + "/sub/filelink", dir.Native("outside/file.txt")));

    EXPECT_TRUE(RemoveWorkTree(work.Release(), dir.Wide(inside).c_str()));
    EXPECT_EQ(dir.Listing("temp"), std::vector<std::string>{});
    EXPECT_EQ(dir.ReadFile("outside/dir/keep.txt"), "keep");
    EXPECT_EQ(dir.ReadFile("outside/file.txt"), "keep");
    EXPECT_EQ(ModeOf(dir.Native("outside/dir/keep.txt")), 0444u);
    EXPECT_EQ(ModeOf(dir.Native("outside/file.txt")), 0444u);
}

TEST_F(WorkTrees, ANameThatStandsAlreadyIsNeverTakenAsAWorkFolder) {
    OwnedFile temp = Held("temp");
    ASSERT_TRUE(temp.Valid());
    ASSERT_TRUE(dir.WriteFile("outside/keep.txt", "keep"));
    ASSERT_TRUE(dir.MakeDir("temp/" + ToolWorkFolderName(1, 1)));
    ASSERT_TRUE(dir.MakeSymlink("temp/" + ToolWorkFolderName(1, 2), dir.Native("outside")));
    ASSERT_TRUE(dir.WriteFile("temp/" + ToolWorkFolderName(1, 3), "a file"));
    for (uint64_t random : {1, 2, 3}) {
        SCOPED_TRACE(random);
        bool taken = false;
        const PlatFile work = MakeWorkFolderAt(temp.Get(), Wide(ToolWorkFolderName(1, random)).c_str(), &taken);
        EXPECT_EQ(work, nullptr);
        if (work != nullptr) PlatCloseHandle(work);
        EXPECT_TRUE(taken || random == 3);
    }
    EXPECT_EQ(dir.ReadFile("outside/keep.txt"), "keep");
    EXPECT_EQ(dir.Listing("temp").size(), 3u);
}

TEST_F(WorkTrees, ASweepTakesOnlyOurNamesWhoseOwnerIsGone) {
    // Work folders: one a killed owner left, one a living owner holds (its id
    // reused or not: the hold decides), one whose id runs but holds nothing
    // yet, one named as another tool's.
    const std::string stale = ToolWorkFolderName(DEAD_PID, 0xa);
    const std::string held = ToolWorkFolderName(DEAD_PID, 0xb);
    const std::string running = ToolWorkFolderName(LIVE_PID, 0xc);
    for (const std::string& name : {stale, held, running, std::string("vorlane-00000000000000aa"),
                                    std::string("vorlane-XyZ123")}) {
        ASSERT_TRUE(dir.WriteFile("temp/" + name + "/left.dll", "x"));
    }
    ASSERT_TRUE(dir.WriteFile(std::string("temp/") + stale + "/deep/er/file.txt", "x"));
    ASSERT_TRUE(dir.WriteFile("outside/keep.txt", "keep"));
    ASSERT_TRUE(dir.MakeSymlink("temp/" + stale + "/link", dir.Native("outside")));
    // A link named as ours goes nowhere near its target, and stays.
    ASSERT_TRUE(dir.MakeSymlink("temp/" + ToolWorkFolderName(DEAD_PID, 0xd), dir.Native("outside")));
    {
        OwnedFile owner(PlatCreateFile(dir.Wide("temp/" + held).c_str(), REMOVAL_ACCESS, NO_DELETE_SHARING,
                                       OPEN_EXISTING, NO_FOLLOW));
        ASSERT_TRUE(owner.Valid());
        OwnedFile temp = Held("temp");
        ASSERT_TRUE(temp.Valid());
        EXPECT_EQ(RemoveLeftoversIn(temp.Get(), dir.Wide("temp").c_str(), true, OnlyLivePidRuns), 1u);
    }
    EXPECT_EQ(dir.Listing("temp"), Sorted({held, running, ToolWorkFolderName(DEAD_PID, 0xd),
                                           "vorlane-00000000000000aa", "vorlane-XyZ123"}));
    EXPECT_EQ(dir.ReadFile("outside/keep.txt"), "keep");

    // Temporary files beside an output: a partial package a killed pack left,
    // one still held (as an output is from its close to its commit: read,
    // sharing deletion), others' files and an older tool's name.
    ASSERT_TRUE(dir.MakeDir("out"));
    const std::string left = ToolTemporaryFileName("app.exe", DEAD_PID, 1);
    const std::string readOnly = ToolTemporaryFileName("setup \xc3\xa9.exe", DEAD_PID, 2);
    const std::string open = ToolTemporaryFileName("app.exe", DEAD_PID, 3);
    const std::string alive = ToolTemporaryFileName("app.exe", LIVE_PID, 4);
    for (const std::string& name : {left, readOnly, open, alive, std::string(".app.exe.000000000000000a.tmp"),
                                    std::string("app.exe")}) {
        ASSERT_TRUE(dir.WriteFile("out/" + name, "partial"));
    }
    ASSERT_TRUE(dir.SetMode("out/" + readOnly, 0444));
    ASSERT_TRUE(dir.MakeDir("out/" + ToolTemporaryFileName("dir", DEAD_PID, 5)));
    {
        OwnedFile reader(PlatCreateFile(dir.Wide("out/" + open).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, 0));
        ASSERT_TRUE(reader.Valid());
        OwnedFile out = Held("out");
        ASSERT_TRUE(out.Valid());
        EXPECT_EQ(RemoveLeftoversIn(out.Get(), dir.Wide("out").c_str(), false, OnlyLivePidRuns), 2u);
    }
    EXPECT_EQ(dir.Listing("out"), Sorted({".app.exe.000000000000000a.tmp", open, alive,
                                          ToolTemporaryFileName("dir", DEAD_PID, 5), "app.exe"}));
}

TEST(TemporaryNames, AreReadBackExactlyAsWrittenAndNothingElse) {
    uint32_t pid = 0;
    EXPECT_EQ(ToolTemporaryFileName("app.exe", 1234, 0xabc), ".app.exe.vorlane-1234-0000000000000abc.tmp");
    EXPECT_EQ(ToolWorkFolderName(4294967295u, ~0ull), "vorlane-4294967295-ffffffffffffffff");
    EXPECT_TRUE(ToolParseTemporaryFileName(ToolTemporaryFileName("a b.vorlane-9-x.exe", 77, 5), &pid));
    EXPECT_EQ(pid, 77u);
    EXPECT_TRUE(ToolParseWorkFolderName(ToolWorkFolderName(4294967295u, 1), &pid));
    EXPECT_EQ(pid, 4294967295u);
    for (const char* name : {".vorlane-12-0000000000000abc.tmp", ".a.vorlane-12-0000000000000abc.tm",
                             "a.vorlane-12-0000000000000abc.tmp", ".a.vorlane-012-0000000000000abc.tmp",
                             ".a.vorlane-0-0000000000000abc.tmp", ".a.vorlane-4294967296-0000000000000abc.tmp",
                             ".a.vorlane-12-0000000000000ABC.tmp", ".a.vorlane-12-000000000000abc.tmp",
                             ".a.vorlane--0000000000000abc.tmp", ".a.vorlane-1x-0000000000000abc.tmp",
                             ".app.exe.0000000000000abc.tmp"}) {
        EXPECT_FALSE(ToolParseTemporaryFileName(name, &pid)) << name;
    }
    for (const char* name : {"vorlane-12-0000000000000abc0", "vorlane-12-0000000000000ab", "vorlane-0000000000000abc",
                             "vorlane-12_0000000000000abc", "Vorlane-12-0000000000000abc", "vorlane-12345678901-0",
                             "vorlane-host-test-abcdef"}) {
        EXPECT_FALSE(ToolParseWorkFolderName(name, &pid)) << name;
    }
}

}  // namespace
