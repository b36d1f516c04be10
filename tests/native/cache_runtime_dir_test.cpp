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
#include "platform/sim_control.h"
#include "tests/support/fault.h"
#include "tests/support/temp_dir.h"

namespace {

bool IsRealDir(const std::string& native) {
    struct stat st;
    return lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class RuntimeFolder : public ::testing::Test {
protected:
    TempDir dir;
    size_t heapBefore = 0;
    RuntimeCache cache;  // what a start holds from stage 10 on

    void SetUp() override {
        PosixResetControls();
        ASSERT_TRUE(dir.Valid());
        ASSERT_TRUE(dir.MakeDir("local"));
        PosixSetLocalAppData(dir.Wide("local").c_str());
        heapBefore = PosixLiveHeapBlocks();
    }
    void TearDown() override {
        cache.Close();
        EXPECT_EQ(PosixOpenHandleCount(), 0u);
        EXPECT_EQ(PosixLiveHeapBlocks(), heapBefore);
        PosixResetControls();
    }
    std::string Root() const { return dir.Native("local/Vorlane Runtime"); }
    std::string Version() const { return Root() + "/202600"; }
    // The purge as a start runs it, over the folders stage 10 holds.
    void Purge() {
        ASSERT_TRUE(PrepareRuntimeDir(&cache));
        PurgeOldRuntimes(cache, nullptr);
        cache.Close();
    }
};

// ---- PrepareRuntimeDir --------------------------------------------------------

TEST_F(RuntimeFolder, FirstPrepareCreatesBothFoldersLaterOnesFindThem) {
    ASSERT_TRUE(PrepareRuntimeDir(&cache));
    EXPECT_EQ(std::u16string(cache.dirPath), dir.Wide("local") + u"\\Vorlane Runtime\\202600");
    EXPECT_EQ(std::u16string(cache.rootPath), dir.Wide("local") + u"\\Vorlane Runtime");
    EXPECT_FALSE(cache.rootExisted);
    EXPECT_TRUE(IsRealDir(Root()));
    EXPECT_TRUE(IsRealDir(Version()));

    ASSERT_TRUE(PrepareRuntimeDir(&cache));
    EXPECT_TRUE(cache.rootExisted);
    ASSERT_TRUE(FormLibraryPath(&cache));
    EXPECT_EQ(std::u16string(cache.libraryPath), std::u16string(cache.dirPath) + u"\\VorlaneStub.dll");
    EXPECT_FALSE(cache.libraryExisted);
    ASSERT_TRUE(dir.WriteFile("local/Vorlane Runtime/202600/VorlaneStub.dll", "x"));
    ASSERT_TRUE(FormLibraryPath(&cache));
    EXPECT_TRUE(cache.libraryExisted);
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
        EXPECT_FALSE(PrepareRuntimeDir(&cache));
        EXPECT_TRUE(cache.rootExisted);
        // Nothing was created behind a link.
        EXPECT_FALSE(fresh.Exists("elsewhere/202600"));
        EXPECT_FALSE(fresh.Exists("missing"));
    }
}

TEST_F(RuntimeFolder, PrepareFailuresLeaveFlagAndDisk) {
    {
        SCOPED_TRACE("no base folder");
        PosixSetLocalAppData(dir.Wide("local").c_str(), -2147467259);
        EXPECT_FALSE(PrepareRuntimeDir(&cache));
        EXPECT_FALSE(cache.rootExisted);
    }
    {
        SCOPED_TRACE("version path does not fit, root path does");
        // 2025 characters: the root (+16) fits, the version folder (+23) does not.
        std::u16string base = dir.Wide("local") + u"\\";
        base.append(2025 - base.size(), u'b');
        PosixSetLocalAppData(base.c_str());
        EXPECT_FALSE(PrepareRuntimeDir(&cache));
        EXPECT_FALSE(cache.rootExisted);
    }
    {
        SCOPED_TRACE("the base folder is missing");
        PosixSetLocalAppData(dir.Wide("nowhere").c_str());
        EXPECT_FALSE(PrepareRuntimeDir(&cache));
        EXPECT_FALSE(cache.rootExisted);
        EXPECT_FALSE(dir.Exists("nowhere"));
    }
    {
        SCOPED_TRACE("creation refused");
        PosixSetLocalAppData(dir.Wide("local").c_str());
        FaultPlan plan;
        plan.FailAll(PlatOp::CreateFolderAt, ERROR_ACCESS_DENIED);
        EXPECT_FALSE(PrepareRuntimeDir(&cache));
        EXPECT_TRUE(cache.rootExisted);  // it could not be told: the root is never taken away then
        EXPECT_FALSE(dir.Exists("local/Vorlane Runtime"));
    }
    {
        SCOPED_TRACE("the version folder refused");
        FaultPlan plan;
        plan.FailPath(PlatOp::CreateFolderAt, u"202600", ERROR_DISK_FULL);
        EXPECT_FALSE(PrepareRuntimeDir(&cache));
        EXPECT_FALSE(cache.rootExisted);
        EXPECT_TRUE(IsRealDir(Root()));  // folders made before the failing step stay
        EXPECT_FALSE(dir.Exists("local/Vorlane Runtime/202600"));
    }
}

TEST_F(RuntimeFolder, TheBaseFolderIsTheUsersWhereverItLeads) {
    // A user's local app data folder may itself be a link (moved to another
    // disk): it is followed once, and everything below is held from then on.
    ASSERT_TRUE(dir.MakeDir("moved"));
    ASSERT_TRUE(dir.MakeSymlink("linked", dir.Native("moved")));
    PosixSetLocalAppData(dir.Wide("linked").c_str());
    ASSERT_TRUE(PrepareRuntimeDir(&cache));
    EXPECT_TRUE(IsRealDir(dir.Native("moved/Vorlane Runtime/202600")));
    // Retargeting the link now changes nothing the run holds.
    ASSERT_TRUE(dir.MakeDir("other"));
    ASSERT_EQ(unlink(dir.Native("linked").c_str()), 0);
    ASSERT_TRUE(dir.MakeSymlink("linked", dir.Native("other")));
    ASSERT_TRUE(dir.WriteFile("moved/Vorlane Runtime/202600/old.new", "left by a killed start"));
    ASSERT_TRUE(dir.WriteFile("moved/Vorlane Runtime/5/VorlaneStub.dll", "old"));
    ASSERT_TRUE(dir.WriteFile("other/Vorlane Runtime/5/VorlaneStub.dll", "not ours to purge"));
    PurgeOldRuntimes(cache, nullptr);
    RemoveRuntimeFolders(&cache, true, nullptr);
    EXPECT_FALSE(dir.Exists("moved/Vorlane Runtime"));
    EXPECT_EQ(dir.ReadFile("other/Vorlane Runtime/5/VorlaneStub.dll"), "not ours to purge");
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
}

TEST_F(RuntimeFolder, PurgeGivesUpOnBaseFoldersFrom2024Characters) {
    ASSERT_TRUE(dir.WriteFile("local/Vorlane Runtime/10/VorlaneStub.dll", "x"));
    ASSERT_TRUE(PrepareRuntimeDir(&cache));
    cache.baseLength = 2024;
    PurgeOldRuntimes(cache, nullptr);
    EXPECT_TRUE(dir.Exists("local/Vorlane Runtime/10/VorlaneStub.dll"));
    cache.baseLength = 2023;
    PurgeOldRuntimes(cache, nullptr);
    EXPECT_FALSE(dir.Exists("local/Vorlane Runtime/10"));
}

// Beside the library the purge takes only what an interrupted installation
// leaves: files under its temporary name. Whatever else stands there is the
// runtime's own (components it unpacks, caches, settings) and stays, whatever
// its name looks like.
TEST_F(RuntimeFolder, PurgeBesideTheLibraryTakesOnlyWhatInstallationsLeave) {
    const std::string version = "local/Vorlane Runtime/202600/";
    ASSERT_TRUE(dir.WriteFile(version + "VorlaneStub.dll", "current"));
    const std::vector<std::string> leftovers = {"VorlaneStub.dll.123.new", "VorlaneStub.dll.4294967295.new",
                                                "VorlaneStub.dll.0.new", "VorlaneStub.dll.7.new"};
    for (const std::string& name : leftovers) ASSERT_TRUE(dir.WriteFile(version + name, "torn"));
    ASSERT_TRUE(dir.SetMode(version + "VorlaneStub.dll.7.new", 0444));
    // A link under such a name goes as a link; what it leads to stays.
    ASSERT_TRUE(dir.WriteFile("elsewhere/target.bin", "keep"));
    ASSERT_TRUE(dir.MakeSymlink(version + "VorlaneStub.dll.8.new", dir.Native("elsewhere/target.bin")));
    // Names an installation never writes under: the runtime's own files.
    const std::vector<std::string> lookalikes = {
        "VorlaneStub.dll.new",     "VorlaneStub.dll..new",    "VorlaneStub.dll.12a.new",
        "VorlaneStub.dll.123.new.1", "VorlaneStub.dll.123.NEW", "vorlanestub.dll.123.new",
        "VorlaneStub.dll.12345678901.new", "VorlaneStub.dll.-1.new", "xVorlaneStub.dll.1.new"};
    for (const std::string& name : lookalikes) ASSERT_TRUE(dir.WriteFile(version + name, "runtime"));
    ASSERT_TRUE(dir.WriteFile(version + "settings.ini", "runtime"));
    ASSERT_TRUE(dir.WriteFile(version + "components/inner/part.bin", "runtime"));
    // A folder under an installation's name is no file an installation leaves.
    ASSERT_TRUE(dir.WriteFile(version + "VorlaneStub.dll.9.new/inside.bin", "runtime"));
    // A second name of a file elsewhere is the runtime's business too.
    ASSERT_TRUE(dir.WriteFile("shared/keep.dll", "shared"));
    ASSERT_EQ(link(dir.Native("shared/keep.dll").c_str(), dir.Native(version + "hard.dll").c_str()), 0);

    std::set<std::string> runtimes(lookalikes.begin(), lookalikes.end());
    runtimes.insert({"VorlaneStub.dll", "settings.ini", "components", "VorlaneStub.dll.9.new", "hard.dll"});
    Purge();
    EXPECT_EQ(Listing(Version()), runtimes);
    EXPECT_EQ(dir.ReadFile(version + "components/inner/part.bin"), "runtime");
    EXPECT_EQ(dir.ReadFile(version + "VorlaneStub.dll.9.new/inside.bin"), "runtime");
    EXPECT_EQ(dir.ReadFile(version + "settings.ini"), "runtime");
    EXPECT_EQ(dir.ReadFile("elsewhere/target.bin"), "keep");
    struct stat st;
    ASSERT_EQ(stat(dir.Native("shared/keep.dll").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);
    Purge();  // and so at every start
    EXPECT_EQ(Listing(Version()), runtimes);
}

TEST_F(RuntimeFolder, PurgeTakesNamesNeverSharedContents) {
    // A leftover another run is still writing stays. In old versions: a second
    // name of a file elsewhere goes without touching that file or its attributes.
    const std::string version = "local/Vorlane Runtime/202600/";
    ASSERT_TRUE(dir.WriteFile(version + "VorlaneStub.dll", "current"));
    ASSERT_TRUE(dir.WriteFile(version + "VorlaneStub.dll.77.new", "torn"));
    ASSERT_TRUE(dir.WriteFile(version + "VorlaneStub.dll.78.new", "being written"));
    ASSERT_TRUE(dir.WriteFile("shared/keep.dll", "shared"));
    ASSERT_TRUE(dir.SetMode("shared/keep.dll", 0444));
    ASSERT_TRUE(dir.MakeDir("local/Vorlane Runtime/9"));
    ASSERT_EQ(link(dir.Native("shared/keep.dll").c_str(), dir.Native("local/Vorlane Runtime/9/VorlaneStub.dll").c_str()), 0);
    const PlatFile writer = PlatCreateFile(dir.Wide(version + "VorlaneStub.dll.78.new").c_str(), GENERIC_WRITE | DELETE,
                                           FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(writer, PLAT_INVALID_HANDLE);
    Purge();
    PlatCloseHandle(writer);
    EXPECT_EQ(Listing(Version()), (std::set<std::string>{"VorlaneStub.dll", "VorlaneStub.dll.78.new"}));
    EXPECT_FALSE(dir.Exists("local/Vorlane Runtime/9"));
    EXPECT_EQ(dir.ReadFile("shared/keep.dll"), "shared");
    struct stat st;
    ASSERT_EQ(stat(dir.Native("shared/keep.dll").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_EQ(st.st_nlink, 1u);
}

}  // namespace
