// RemoveOpenTree over real trees: links removed as links, read-only and
// hidden entries, entries held open, the exact length limits and very deep trees.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "base/long_path.h"
#include "base/owned.h"
#include "cache/remove_tree.h"
#include "cache/runtime_dir.h"
#include "platform/sim_control.h"
#include "tests/support/fault.h"
#include "tests/support/temp_dir.h"

namespace {

struct PathBuffer {
    char16_t text[PATH_CAPACITY];
    explicit PathBuffer(const std::u16string& path) {
        EXPECT_LT(path.size(), PATH_CAPACITY);
        path.copy(text, PATH_CAPACITY - 1);
        text[std::min(path.size(), PATH_CAPACITY - 1)] = 0;
    }
    std::u16string str() const { return text; }
};

// Removes the folder at path (no trailing separator) as the cache's removals
// do: opened never through a link, checked by handle, then RemoveOpenTree.
// The buffer ends up with the separator the walk works with.
bool RemoveFolder(char16_t* path) {
    size_t n = 0;
    if (!WithTrailingSeparator(path, &n)) return false;
    path[n - 1] = 0;
    char16_t scratch[LONG_PATH_CAPACITY];
    OwnedFile folder(
        PlatCreateFile(ToLongPath(path, scratch), REMOVAL_ACCESS, NO_DELETE_SHARING, OPEN_EXISTING, NO_FOLLOW));
    path[n - 1] = u'\\';
    if (!folder.Valid() || !IsRealFolder(HandleAttributes(folder.Get()))) return false;
    Backoff backoff;
    return RemoveOpenTree(folder.Release(), path, n, &backoff);
}

mode_t ModeOf(const std::string& native) {
    struct stat st;
    return lstat(native.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class RemovingTrees : public ::testing::Test {
protected:
    TempDir dir;
    size_t heapBefore = 0;

    void SetUp() override {
        PosixResetControls();
        ASSERT_TRUE(dir.Valid());
        heapBefore = PosixLiveHeapBlocks();
    }
    void TearDown() override {
        EXPECT_EQ(PosixOpenHandleCount(), 0u);
        EXPECT_EQ(PosixLiveHeapBlocks(), heapBefore);
        PosixResetControls();
    }

    // Creates nested folders below "t" so that the folder's wide path is
    // exactly length characters; returns its relative name.
    std::string FolderOfLength(size_t length) {
        std::u16string wide = dir.Wide("t");
        std::string relative = "t";
        EXPECT_TRUE(dir.MakeDir(relative));
        while (wide.size() < length) {
            const size_t remaining = length - wide.size();
            size_t k = std::min<size_t>(200, remaining - 1);
            if (remaining - 1 - k == 1) --k;
            wide += u"\\" + std::u16string(k, u'n');
            relative += "/" + std::string(k, 'n');
            EXPECT_TRUE(dir.MakeDir(relative));
        }
        EXPECT_EQ(wide.size(), length);
        return relative;
    }
};

TEST_F(RemovingTrees, RemovesEverythingButNeverReachesThroughLinks) {
    ASSERT_TRUE(dir.WriteFile("tree/readonly.txt", "r"));
    ASSERT_TRUE(dir.SetMode("tree/readonly.txt", 0444));
    ASSERT_TRUE(dir.WriteFile("tree/.hidden/inner/a.txt", "a"));
    ASSERT_TRUE(dir.WriteFile("tree/.hidden/b.txt", "b"));
    ASSERT_TRUE(dir.MakeDir("tree/empty"));
    ASSERT_TRUE(dir.WriteFile("outside/dir/keep.txt", "keep"));
    ASSERT_TRUE(dir.WriteFile("outside/file.txt", "keep"));
    ASSERT_TRUE(dir.SetMode("outside/file.txt", 0444));
    ASSERT_TRUE(dir.MakeSymlink("tree/dirlink", dir.Native("outside/dir")));
    ASSERT_TRUE(dir.MakeSymlink("tree/.hidden/filelink", dir.Native("outside/file.txt")));
    ASSERT_TRUE(dir.MakeSymlink("tree/dangling", dir.Native("outside/none")));

    PathBuffer path(dir.Wide("tree"));
    EXPECT_TRUE(RemoveFolder(path.text));
    EXPECT_EQ(path.str(), dir.Wide("tree") + u"\\");
    EXPECT_FALSE(dir.Exists("tree"));
    EXPECT_EQ(dir.ReadFile("outside/dir/keep.txt"), "keep");
    EXPECT_EQ(dir.ReadFile("outside/file.txt"), "keep");
    EXPECT_EQ(ModeOf(dir.Native("outside/file.txt")), 0444u);  // the target's attributes were not touched
}

TEST_F(RemovingTrees, EntryHeldOpenStaysWithItsFoldersTheRestGoes) {
    ASSERT_TRUE(dir.WriteFile("tree/a.txt", "a"));
    ASSERT_TRUE(dir.WriteFile("tree/m/n/busy.dll", "busy"));
    ASSERT_TRUE(dir.WriteFile("tree/m/n/other.txt", "o"));
    ASSERT_TRUE(dir.WriteFile("tree/m/z.txt", "z"));
    ASSERT_TRUE(dir.WriteFile("tree/z/deeper/z.txt", "z"));
    const PlatFile held =
        PlatCreateFile(dir.Wide("tree/m/n/busy.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(held, PLAT_INVALID_HANDLE);

    PathBuffer path(dir.Wide("tree"));
    const bool removed = RemoveFolder(path.text);
    PlatCloseHandle(held);
    EXPECT_FALSE(removed);
    EXPECT_EQ(dir.ReadFile("tree/m/n/busy.dll"), "busy");
    EXPECT_FALSE(dir.Exists("tree/a.txt"));
    EXPECT_FALSE(dir.Exists("tree/m/n/other.txt"));
    EXPECT_FALSE(dir.Exists("tree/m/z.txt"));  // listed after the failure, still removed
    EXPECT_FALSE(dir.Exists("tree/z"));
    EXPECT_EQ(path.str(), dir.Wide("tree") + u"\\");

    EXPECT_TRUE(RemoveFolder(path.text));  // once released, a second pass finishes
    EXPECT_FALSE(dir.Exists("tree"));
}

TEST_F(RemovingTrees, MissingFileOrLinkedFolderIsRefusedUntouched) {
    PathBuffer missing(dir.Wide("none"));
    EXPECT_FALSE(RemoveFolder(missing.text));
    EXPECT_EQ(missing.str(), dir.Wide("none") + u"\\");

    ASSERT_TRUE(dir.WriteFile("file.txt", "f"));
    PathBuffer file(dir.Wide("file.txt"));
    EXPECT_FALSE(RemoveFolder(file.text));
    EXPECT_TRUE(dir.Exists("file.txt"));

    // The folder itself a link: its target is never emptied.
    ASSERT_TRUE(dir.WriteFile("outside/keep.txt", "keep"));
    ASSERT_TRUE(dir.MakeSymlink("link", dir.Native("outside")));
    PathBuffer link(dir.Wide("link"));
    EXPECT_FALSE(RemoveFolder(link.text));
    EXPECT_EQ(dir.ReadFile("outside/keep.txt"), "keep");
    EXPECT_TRUE(dir.Exists("link"));
}

TEST_F(RemovingTrees, FolderPathLengthLimits) {
    {
        // Listed, but nothing inside could have a path of 2046 characters or less.
        SCOPED_TRACE("2045");
        const std::string relative = FolderOfLength(2045);
        PathBuffer path(dir.Wide(relative));
        EXPECT_TRUE(RemoveFolder(path.text));
        EXPECT_FALSE(dir.Exists(relative));
        ASSERT_TRUE(RemoveNativeTree(dir.Native("t")));
    }
    {
        // With its separator the path no longer fits: nothing is listed.
        SCOPED_TRACE("2046");
        const std::string relative = FolderOfLength(2046);
        PathBuffer path(dir.Wide(relative));
        const std::u16string before = path.str();
        PosixResetCallCounts();
        EXPECT_FALSE(RemoveFolder(path.text));
        EXPECT_EQ(PosixCallCount(PlatOp::FindFirstFileAt), 0u);
        EXPECT_EQ(path.str(), before);
        EXPECT_TRUE(dir.Exists(relative));
    }
}

TEST_F(RemovingTrees, EntryPathBeyond2046StopsThatFolder) {
    // Folder path 1900 characters, so with its separator 1901: names of up to
    // 145 characters fit (2046), 146 do not.
    const std::string relative = FolderOfLength(1900);
    ASSERT_TRUE(dir.WriteFile(relative + "/a.txt", "a"));
    ASSERT_TRUE(dir.WriteFile(relative + "/k" + std::string(144, 'k'), "fits"));
    ASSERT_TRUE(dir.WriteFile(relative + "/m" + std::string(145, 'm'), "too long"));
    ASSERT_TRUE(dir.WriteFile(relative + "/z.txt", "z"));

    PathBuffer path(dir.Wide(relative));
    EXPECT_FALSE(RemoveFolder(path.text));
    EXPECT_FALSE(dir.Exists(relative + "/a.txt"));
    EXPECT_FALSE(dir.Exists(relative + "/k" + std::string(144, 'k')));
    EXPECT_TRUE(dir.Exists(relative + "/m" + std::string(145, 'm')));
    EXPECT_TRUE(dir.Exists(relative + "/z.txt"));  // never visited
    EXPECT_EQ(path.str(), dir.Wide(relative) + u"\\");
}

TEST_F(RemovingTrees, ThousandLevelsDeepAreRemovedWithoutRecursion) {
    std::string relative = "deep";
    for (int i = 0; i < 1000; ++i) {
        relative += "/d";
        if (i % 100 == 0) {
            ASSERT_TRUE(dir.WriteFile(relative + "/level.txt", "x"));
        }
    }
    ASSERT_TRUE(dir.WriteFile(relative + "/bottom.txt", "x"));
    ASSERT_LT(dir.Wide(relative).size(), 2046u);

    PathBuffer path(dir.Wide("deep"));
    EXPECT_TRUE(RemoveFolder(path.text));
    EXPECT_FALSE(dir.Exists("deep"));
}

TEST_F(RemovingTrees, UnlistableOrUnrecordableFolderIsLeftWhole) {
    ASSERT_TRUE(dir.WriteFile("tree/a/locked/x.txt", "x"));
    ASSERT_TRUE(dir.WriteFile("tree/b/y.txt", "y"));
    {
        FaultPlan plan;
        plan.FailPath(PlatOp::FindFirstFileAt, u"locked", ERROR_ACCESS_DENIED);
        PathBuffer path(dir.Wide("tree"));
        EXPECT_FALSE(RemoveFolder(path.text));
    }
    EXPECT_TRUE(dir.Exists("tree/a/locked/x.txt"));
    EXPECT_FALSE(dir.Exists("tree/b"));

    // Deeper than the first block of level records: growing it fails.
    std::string relative = "tree2";
    for (int i = 0; i < 20; ++i) {
        relative += "/d";
        ASSERT_TRUE(dir.WriteFile(relative + "/f.txt", "x"));
    }
    {
        FaultPlan plan;
        plan.FailNth(PlatOp::HeapAlloc, 2, ERROR_NOT_ENOUGH_MEMORY);
        PathBuffer path(dir.Wide("tree2"));
        EXPECT_FALSE(RemoveFolder(path.text));
        EXPECT_EQ(plan.Fired(), 1u);
    }
    EXPECT_FALSE(dir.Exists("tree2/d/f.txt"));
    EXPECT_TRUE(dir.Exists(relative + "/f.txt"));
    {
        FaultPlan plan;
        plan.FailAll(PlatOp::HeapAlloc, ERROR_NOT_ENOUGH_MEMORY);
        PathBuffer path(dir.Wide("tree2"));
        PosixResetCallCounts();
        EXPECT_FALSE(RemoveFolder(path.text));
        EXPECT_EQ(PosixCallCount(PlatOp::FindFirstFileAt), 0u);
    }
    PathBuffer path(dir.Wide("tree2"));
    EXPECT_TRUE(RemoveFolder(path.text));
}

}  // namespace
