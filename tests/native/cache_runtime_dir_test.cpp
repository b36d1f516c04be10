// The runtime cache folder over real folders and symlinks: preparation, the
// component walk, reading version numbers and the purge of older versions.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "base/long_path.h"
#include "cache/runtime_dir.h"
#include "base/text.h"
#include "platform/posix_control.h"
#include "tests/support/fault.h"
#include "tests/support/temp_dir.h"

namespace {

bool IsRealDir(const std::string& native) {
    struct stat st;
    return lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::u16string Take(char16_t* owned) {
    std::u16string text = owned != nullptr ? owned : u"";
    PlatHeapFree(owned);
    return text;
}

uint64_t AllCalls() {
    uint64_t total = 0;
    for (int i = 0; i < static_cast<int>(PlatOp::Count); ++i) total += PosixCallCount(static_cast<PlatOp>(i));
    return total;
}

class RuntimeFolder : public ::testing::Test {
protected:
    TempDir dir;
    size_t heapBefore = 0;

    void SetUp() override {
        PosixResetControls();
        ASSERT_TRUE(dir.Valid());
        ASSERT_TRUE(dir.MakeDir("local"));
        PosixSetLocalAppData(dir.Wide("local").c_str());
        heapBefore = PosixLiveHeapBlocks();
    }
    void TearDown() override {
        held.Release();
        EXPECT_EQ(PosixOpenHandleCount(), 0u);
        EXPECT_EQ(PosixLiveHeapBlocks(), heapBefore);
        PosixResetControls();
    }
    std::string Root() const { return dir.Native("local/Vorlane Runtime"); }
    std::string Version() const { return Root() + "/202600"; }
    // The purge over RuntimeRoot held as a start holds it.
    void Purge() {
        char16_t base[PATH_CAPACITY];
        RuntimeFolders root;
        if (PlatGetLocalAppDataFolder(base, PATH_CAPACITY) == 0) {
            root.root.file = PlatCreateFile((std::u16string(base) + u"\\Vorlane Runtime").c_str(),
                                            FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
        }
        PosixResetCallCounts();
        PurgeOldRuntimes(root);
    }
    RuntimeFolders held;  // what PrepareRuntimeDir holds
};

// ---- PrepareRuntimeDir --------------------------------------------------------

TEST_F(RuntimeFolder, FirstPrepareCreatesBothFoldersLaterOnesOnlyCheck) {
    bool existed = true;
    EXPECT_EQ(Take(PrepareRuntimeDir(&existed, &held)), dir.Wide("local") + u"\\Vorlane Runtime\\202600");
    EXPECT_FALSE(existed);
    EXPECT_TRUE(IsRealDir(Root()));
    EXPECT_TRUE(IsRealDir(Version()));

    PosixResetCallCounts();
    existed = false;
    EXPECT_EQ(Take(PrepareRuntimeDir(&existed, &held)), dir.Wide("local") + u"\\Vorlane Runtime\\202600");
    EXPECT_TRUE(existed);
    EXPECT_EQ(PosixCallCount(PlatOp::CreateDirectory), 0u);
    // Root-existed flag, then one query per component.
    EXPECT_EQ(PosixCallCount(PlatOp::GetFileAttributes), 3u);
}

TEST_F(RuntimeFolder, RefusesFilesAndLinksInTheWay) {
    struct Case {
        const char* what;
        void (*make)(const TempDir&);
    };
    const Case cases[] = {
        {"file at root", [](const TempDir& d) { d.WriteFile("local/Vorlane Runtime", "x"); }},
        {"file at version", [](const TempDir& d) { d.WriteFile("local/Vorlane Runtime/202600", "x"); }},
        {"folder link at root", [](const TempDir& d) { d.MakeSymlink("local/Vorlane Runtime", d.Native("elsewhere")); }},
        {"folder link at version",
         [](const TempDir& d) { d.MakeSymlink("local/Vorlane Runtime/202600", d.Native("elsewhere")); }},
        {"file link at root",
         [](const TempDir& d) { d.MakeSymlink("local/Vorlane Runtime", d.Native("elsewhere/file.txt")); }},
        {"dangling link at version",
         [](const TempDir& d) { d.MakeSymlink("local/Vorlane Runtime/202600", d.Native("missing")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        ASSERT_TRUE(fresh.MakeDir("local"));
        ASSERT_TRUE(fresh.WriteFile("elsewhere/file.txt", "x"));
        PosixSetLocalAppData(fresh.Wide("local").c_str());
        c.make(fresh);
        bool existed = false;
        EXPECT_EQ(PrepareRuntimeDir(&existed, &held), nullptr);
        EXPECT_TRUE(existed);
        // Nothing was created behind a link.
        EXPECT_FALSE(fresh.Exists("elsewhere/202600"));
    }
}

TEST_F(RuntimeFolder, PrepareFailuresLeaveFlagAndDisk) {
    {
        SCOPED_TRACE("no base folder");
        PosixSetLocalAppData(dir.Wide("local").c_str(), -2147467259);
        bool existed = false;
        EXPECT_EQ(PrepareRuntimeDir(&existed, &held), nullptr);
        EXPECT_EQ(PosixCallCount(PlatOp::GetFileAttributes), 0u);
    }
    {
        SCOPED_TRACE("version path does not fit, root path does");
        // 2025 characters: the root (+16) fits, the version folder (+23) does not.
        std::u16string base = dir.Wide("local") + u"\\";
        base.append(2025 - base.size(), u'b');
        PosixSetLocalAppData(base.c_str());
        PosixResetCallCounts();
        bool existed = true;
        EXPECT_EQ(PrepareRuntimeDir(&existed, &held), nullptr);
        EXPECT_FALSE(existed);  // queried (nothing there), then the second path failed
        EXPECT_EQ(PosixCallCount(PlatOp::CreateDirectory), 0u);
    }
    {
        SCOPED_TRACE("creation refused");
        PosixSetLocalAppData(dir.Wide("local").c_str());
        FaultPlan plan;
        plan.FailAll(PlatOp::CreateDirectory, ERROR_ACCESS_DENIED);
        bool existed = true;
        EXPECT_EQ(PrepareRuntimeDir(&existed, &held), nullptr);
        EXPECT_FALSE(existed);
        EXPECT_FALSE(dir.Exists("local/Vorlane Runtime"));
    }
    {
        SCOPED_TRACE("copy not allocated");
        FaultPlan plan;
        plan.FailAll(PlatOp::HeapAlloc, ERROR_NOT_ENOUGH_MEMORY);
        bool existed = true;
        EXPECT_EQ(PrepareRuntimeDir(&existed, &held), nullptr);
        EXPECT_TRUE(IsRealDir(Version()));  // folders made before the failing step stay
    }
}

// Another process creates the folder between our query and our creation.
struct Race {
    std::string native;   // what appears
    bool asFile;
    int fired;
};

FaultAction AppearFirst(PlatOp op, const char16_t* path, void* context) {
    auto* race = static_cast<Race*>(context);
    FaultAction action;
    if (op != PlatOp::CreateDirectory || path == nullptr) return action;
    if (PosixNativePath(path) != race->native) return action;
    ++race->fired;
    if (race->asFile) {
        FILE* f = std::fopen(race->native.c_str(), "wb");
        if (f != nullptr) std::fclose(f);
    } else if (!race->native.empty()) {
        mkdir(race->native.c_str(), 0755);
    }
    action.kind = FaultAction::Fail;
    action.error = ERROR_ALREADY_EXISTS;
    return action;
}

TEST_F(RuntimeFolder, CreationRaceIsJudgedByASecondQuery) {
    Race race{Version(), false, 0};
    PosixSetFaultHook(&AppearFirst, &race);
    bool existed = false;
    EXPECT_FALSE(Take(PrepareRuntimeDir(&existed, &held)).empty());
    EXPECT_EQ(race.fired, 1);
    EXPECT_TRUE(IsRealDir(Version()));
    PosixSetFaultHook(nullptr, nullptr);

    ASSERT_TRUE(RemoveNativeTree(Root()));
    race = Race{Root(), true, 0};  // a file appears instead
    PosixSetFaultHook(&AppearFirst, &race);
    EXPECT_EQ(PrepareRuntimeDir(&existed, &held), nullptr);
    EXPECT_EQ(race.fired, 1);
    PosixSetFaultHook(nullptr, nullptr);

    ASSERT_TRUE(RemoveNativeTree(Root()));
    race = Race{"", false, 0};  // 183 reported, yet nothing is there
    PosixSetFaultHook(
        [](PlatOp op, const char16_t*, void*) {
            FaultAction action;
            if (op == PlatOp::CreateDirectory) action = FaultAction{FaultAction::Fail, ERROR_ALREADY_EXISTS, 0};
            return action;
        },
        nullptr);
    EXPECT_EQ(PrepareRuntimeDir(&existed, &held), nullptr);
}

// ---- CreateDirChain -----------------------------------------------------------

TEST_F(RuntimeFolder, ChainLimitsAndSeparators) {
    const std::u16string base = dir.Wide("local");
    std::u16string path = base + u"\\a/b\\\\c\\";
    EXPECT_TRUE(CreateDirChain(path.c_str(), base.size()));
    EXPECT_TRUE(IsRealDir(dir.Native("local/a/b/c")));

    EXPECT_FALSE(CreateDirChain(nullptr, 0));

    PosixResetCallCounts();
    EXPECT_TRUE(CreateDirChain(u"Z:\\nowhere\\x", 12));
    EXPECT_TRUE(CreateDirChain(u"Z:\\nowhere\\x", 400));
    EXPECT_EQ(AllCalls(), 0u);

    // A chain of existing folders reaching exactly 2047 characters, then 2048.
    std::u16string deep = base;
    std::string native = dir.Native("local");
    while (deep.size() < 2047) {
        size_t k = std::min<size_t>(200, 2047 - deep.size() - 1);
        if (2047 - deep.size() - 1 - k == 1) --k;  // never leave a remainder too short for "\x"
        const std::string name(k, 'd');
        deep += u"\\" + std::u16string(k, u'd');
        native += "/" + name;
        ASSERT_EQ(mkdir(native.c_str(), 0755), 0);
    }
    ASSERT_EQ(deep.size(), 2047u);
    EXPECT_TRUE(CreateDirChain(deep.c_str(), base.size()));
    ASSERT_EQ(rmdir(native.c_str()), 0);
    EXPECT_TRUE(CreateDirChain(deep.c_str(), base.size()));  // the last one is created again
    EXPECT_TRUE(IsRealDir(native));

    const std::u16string tooLong = deep + u"\\";
    PosixResetCallCounts();
    EXPECT_FALSE(CreateDirChain(tooLong.c_str(), base.size()));
    EXPECT_EQ(AllCalls(), 0u);
}

TEST_F(RuntimeFolder, ChainStopsAtFirstRefusedComponentKeepingEarlierOnes) {
    const std::u16string base = dir.Wide("local");
    ASSERT_TRUE(dir.WriteFile("local/a/file", "x"));
    EXPECT_FALSE(CreateDirChain((base + u"\\a\\file\\b").c_str(), base.size()));
    EXPECT_FALSE(dir.Exists("local/a/file/b"));

    FaultPlan plan;
    plan.FailPath(PlatOp::CreateDirectory, u"\\y", ERROR_DISK_FULL);
    EXPECT_FALSE(CreateDirChain((base + u"\\x\\y\\z").c_str(), base.size()));
    EXPECT_TRUE(IsRealDir(dir.Native("local/x")));
    EXPECT_FALSE(dir.Exists("local/x/y"));
}

// ---- ReadFolderNumber ------------------------------------------------------------

TEST(FolderNumber, ReadsLikeASignedDecimalConversion) {
    struct Case {
        const char16_t* name;
        int32_t value;
    };
    const Case cases[] = {
        {u"1", 1},
        {u"202599", 202599},
        {u"202600", 202600},
        {u"000017", 17},
        {u"17abc", 17},
        {u"+17", 17},
        {u"-17", -17},
        {u" \t\n\v\f\r42", 42},
        {u"  -0", 0},
        {u"abc", 0},
        {u"x17", 0},
        {u"", 0},
        {u"+", 0},
        {u"-", 0},
        {u"+-5", 0},
        {u"4 2", 4},
        {u"2147483647", 2147483647},
        {u"2147483648", 2147483647},
        {u"99999999999", 2147483647},
        {u"000000000000000000002147483647", 2147483647},
        {u"-2147483648", INT32_MIN},
        {u"-2147483649", INT32_MIN},
        {u"-99999999999999999999", INT32_MIN},
        {u"\u00a017", 0},       // only ASCII white space is skipped
        {u"\uff11\uff17", 0},   // fullwidth digits are not digits here
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadFolderNumber(c.name), c.value) << Utf16ToUtf8(c.name);
    }
}

// ---- PurgeOldRuntimes -----------------------------------------------------------

std::set<std::string> Listing(const std::string& native) {
    std::set<std::string> names;
    if (DIR* d = opendir(native.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        closedir(d);
    }
    return names;
}

TEST_F(RuntimeFolder, PurgeRemovesOnlyOlderVersionFolders) {
    const std::string root = "local/Vorlane Runtime/";
    for (const char* name : {"1", "202599", "202600", "202601", "0", "-1", "abc", "17abc", "000017", "+17", " 42",
                             "99999999999", "300000"}) {
        ASSERT_TRUE(dir.WriteFile(root + name + "/VorlaneStub.dll", "lib"));
    }
    // Older folders with more inside: all of it goes.
    ASSERT_TRUE(dir.WriteFile(root + "1/sub/.hidden/file", "x"));
    ASSERT_TRUE(dir.SetMode(root + "1/sub/.hidden/file", 0444));
    ASSERT_TRUE(dir.WriteFile(root + "5", "a file, not a folder"));
    ASSERT_TRUE(dir.WriteFile("target/keep.txt", "keep"));
    ASSERT_TRUE(dir.MakeSymlink(root + "100", dir.Native("target")));
    ASSERT_TRUE(dir.MakeSymlink(root + "7", dir.Native("gone")));
    ASSERT_TRUE(dir.WriteFile("filetarget.txt", "keep"));
    ASSERT_TRUE(dir.MakeSymlink(root + "8", dir.Native("filetarget.txt")));

    Purge();

    const std::set<std::string> expected{"202600", "202601", "0",  "-1", "abc", "99999999999",
                                         "300000", "5",      "7", "8"};
    EXPECT_EQ(Listing(Root()), expected);
    EXPECT_EQ(dir.ReadFile("target/keep.txt"), "keep");
    EXPECT_EQ(dir.ReadFile("filetarget.txt"), "keep");
    EXPECT_EQ(dir.ReadFile(root + "202600/VorlaneStub.dll"), "lib");
}

TEST_F(RuntimeFolder, PurgeIsSilentWhenItCannotWork) {
    Purge();  // no root yet
    EXPECT_FALSE(dir.Exists("local/Vorlane Runtime"));

    // A file held open keeps its folder; the purge goes on with the others.
    ASSERT_TRUE(dir.WriteFile("local/Vorlane Runtime/10/busy.dll", "x"));
    ASSERT_TRUE(dir.WriteFile("local/Vorlane Runtime/11/free.dll", "x"));
    const PlatFile held = PlatCreateFile(dir.Wide("local/Vorlane Runtime/10/busy.dll").c_str(), GENERIC_READ,
                                         FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(held, PLAT_INVALID_HANDLE);
    Purge();
    PlatCloseHandle(held);
    EXPECT_TRUE(dir.Exists("local/Vorlane Runtime/10/busy.dll"));
    EXPECT_FALSE(dir.Exists("local/Vorlane Runtime/11"));
    Purge();  // the next start finishes the job
    EXPECT_FALSE(dir.Exists("local/Vorlane Runtime/10"));

    PosixSetLocalAppData(u"", -2147467259);
    PosixResetCallCounts();
    Purge();
    EXPECT_EQ(PosixCallCount(PlatOp::FindFirstFileAt), 0u);
}

TEST_F(RuntimeFolder, PurgeGivesUpOnBaseFoldersFrom2024Characters) {
    std::u16string base = u"Z:\\";
    base.append(2024 - base.size(), u'p');
    PosixSetLocalAppData(base.c_str());
    PosixResetCallCounts();
    Purge();
    EXPECT_EQ(PosixCallCount(PlatOp::FindFirstFileAt), 0u);

    base.pop_back();  // 2023: listed (and found missing)
    PosixSetLocalAppData(base.c_str());
    Purge();
    EXPECT_EQ(PosixCallCount(PlatOp::FindFirstFileAt), 1u);
}

}  // namespace
