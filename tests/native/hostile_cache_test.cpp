// Whole launch runs over a runtime cache that someone else has tampered with:
// links of every kind where the launcher expects its own folders and library,
// links, read-only and hidden entries and very deep trees inside old version
// folders, and names at the length limits. Each run must end as intended and
// must never remove or write anything outside the cache: the links lead into a
// sibling "outside" folder that is compared before and after every run.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim_control.h"
#include "tests/support/launch_fixture.h"
#include "tests/support/package.h"
#include "tests/support/temp_dir.h"

namespace {

const char16_t IN_USE[] = u"Cannot update VorlaneStub.dll: file is in use.";
const char16_t NO_FOLDER[] = u"Failed to create output directory";

// Everything below path, links not followed: kind, mode, content or link target.
void Snapshot(const std::string& path, const std::string& relative, std::map<std::string, std::string>* out) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    const std::string mode = std::to_string(st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        (*out)[relative] = "link " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
        (*out)[relative] = "dir " + mode;
        for (const std::string& name : NamesIn(path)) Snapshot(path + "/" + name, relative + "/" + name, out);
    } else {
        const std::vector<uint8_t> bytes = ReadBytes(path);
        (*out)[relative] = "file " + mode + " " + std::string(bytes.begin(), bytes.end());
    }
}

std::map<std::string, std::string> SnapshotOf(const std::string& path) {
    std::map<std::string, std::string> out;
    Snapshot(path, "", &out);
    return out;
}

// Writes a file, creating its folders first.
bool Put(const std::string& path, const std::vector<uint8_t>& bytes) {
    return MakeFolders(path.substr(0, path.find_last_of('/'))) && WriteBytes(path, bytes);
}

bool IsLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A chain of levels folders named "d" below base, with a file at the bottom;
// built with relative calls so no single call sees the whole path.
bool MakeDeepTree(const std::string& base, int levels) {
    int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    for (int i = 0; i < levels; ++i) {
        const int made = mkdirat(fd, "d", 0755);
        const int next = made == 0 ? openat(fd, "d", O_RDONLY | O_DIRECTORY) : -1;
        close(fd);
        if (next < 0) return false;
        fd = next;
    }
    const int file = openat(fd, "f", O_WRONLY | O_CREAT, 0644);
    close(fd);
    if (file < 0) return false;
    close(file);
    return true;
}

class HostileCache : public ::testing::Test {
protected:
    static inline const LaunchPackage* package = nullptr;
    static inline std::string buildError;

    static void SetUpTestSuite() {
        package = SharedLaunchPackage(VORLANE_BINARY_DIR, "app.exe", RuntimeKind::Recording, 2000, &buildError);
    }

    ScratchFolder dir;
    LaunchSetup setup;
    std::string appData;
    std::string outside;
    std::map<std::string, std::string> before;

    void SetUp() override {
        ASSERT_NE(package, nullptr) << buildError;
        ASSERT_TRUE(dir.Valid());
        // Short on purpose: a 1,000-level tree must fit below it.
        appData = dir.Native("L");
        ASSERT_TRUE(MakeFolders(appData));
        outside = dir.Native("outside");
        ASSERT_TRUE(Put(outside + "/folder/a.txt", {'a'}));
        ASSERT_TRUE(Put(outside + "/folder/sub/b.txt", {'b'}));
        ASSERT_TRUE(Put(outside + "/file.txt", {'p'}));
        ASSERT_EQ(chmod((outside + "/file.txt").c_str(), 0444), 0);
        ASSERT_TRUE(WriteBytes(outside + "/VorlaneStub.dll", package->runtime));
        ASSERT_TRUE(WriteBytes(outside + "/stale.dll", PatternBytes(4000, 8)));
        before = SnapshotOf(outside);

        setup.modulePath = PosixWidePath(package->path);
        setup.localAppData = PosixWidePath(appData);
        setup.recordPath = dir.Native("record.txt");
        setup.expectedLibrary = &package->runtime;
    }

    std::string Root() const { return RuntimeRootOf(appData); }
    std::string Version() const { return RuntimeDirOf(appData); }
    std::string Library() const { return LibraryOf(appData); }
    void Link(const std::string& at, const std::string& target) {
        ASSERT_TRUE(MakeFolders(at.substr(0, at.find_last_of('/'))));
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at;
    }

    // One whole run; nothing outside the cache may have changed, nothing may leak.
    LaunchResult Run() {
        const LaunchResult r = RunLaunch(setup);
        EXPECT_EQ(SnapshotOf(outside), before);
        EXPECT_EQ(r.handlesLeaked, 0);
        EXPECT_EQ(r.heapLeaked, 0);
        EXPECT_EQ(r.localLeaked, 0);
        EXPECT_EQ(r.exitCode == 0, r.runtimeCalled);
        if (r.runtimeCalled) {
            EXPECT_TRUE(r.loadsSawExpected);
        }
        return r;
    }
    void ExpectEnd(const LaunchResult& r, int code, const std::u16string& message) {
        EXPECT_EQ(r.exitCode, code);
        if (message.empty()) {
            EXPECT_TRUE(r.boxes.empty());
        } else {
            EXPECT_EQ(r.Messages(), std::vector<std::u16string>{message});
        }
    }
    // The three kinds of link, each leading outside.
    std::vector<std::pair<const char*, std::string>> LinkKinds() const {
        return {{"folder link", outside + "/folder"},
                {"file link", outside + "/file.txt"},
                {"dangling link", outside + "/nothing"}};
    }
};


TEST_F(HostileCache, ALinkAtTheRootOrVersionFolderIsRefusedAndLeftAlone) {
    for (const auto& kind : LinkKinds()) {
        SCOPED_TRACE(kind.first);
        Link(Root(), kind.second);
        ExpectEnd(Run(), -3, NO_FOLDER);
        EXPECT_TRUE(IsLink(Root()));
        ASSERT_EQ(unlink(Root().c_str()), 0);

        Link(Version(), kind.second);
        ExpectEnd(Run(), -3, NO_FOLDER);
        EXPECT_TRUE(IsLink(Version()));
        ASSERT_TRUE(RemoveNativeTree(Root()));
    }
}

TEST_F(HostileCache, ALinkOrHardLinkAtTheLibraryPathIsReplacedNeverWrittenThrough) {
    // Leading to a file with other content, to nothing, to a folder, or to a
    // file that holds exactly the archive's library: the name is taken back
    // for a fresh copy, and nothing it led to is read, written or loaded.
    for (const auto& target :
         {outside + "/stale.dll", outside + "/missing.dll", outside + "/folder", outside + "/VorlaneStub.dll"}) {
        SCOPED_TRACE(target);
        Link(Library(), target);
        ExpectEnd(Run(), 0, u"");
        EXPECT_FALSE(IsLink(Library()));
        EXPECT_EQ(ReadBytes(Library()), package->runtime);
        ASSERT_TRUE(RemoveNativeTree(Root()));
    }
    // A second name of a file elsewhere, stale or holding the very bytes.
    for (const auto& target : {outside + "/stale.dll", outside + "/VorlaneStub.dll"}) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(MakeFolders(Version()));
        ASSERT_EQ(link(target.c_str(), Library().c_str()), 0);
        ExpectEnd(Run(), 0, u"");
        struct stat info {};
        ASSERT_EQ(stat(Library().c_str(), &info), 0);
        EXPECT_EQ(info.st_nlink, 1u);
        EXPECT_EQ(ReadBytes(Library()), package->runtime);
        ASSERT_TRUE(RemoveNativeTree(Root()));
    }
}

TEST_F(HostileCache, OldVersionFoldersGoWithTheirLinksButNotWhatTheyLeadTo) {
    const std::string old = Root() + "/202500";
    Link(old + "/dirlink", outside + "/folder");
    Link(old + "/filelink", outside + "/file.txt");
    Link(old + "/dangling", outside + "/nothing");
    ASSERT_TRUE(Put(old + "/readonly.dll", {1, 2, 3}));
    ASSERT_EQ(chmod((old + "/readonly.dll").c_str(), 0444), 0);
    ASSERT_TRUE(Put(old + "/.hidden/inner.txt", {4}));
    ASSERT_TRUE(Put(old + "/.hiddenfile", {5}));
    ASSERT_EQ(chmod((old + "/.hidden").c_str(), 0555), 0);
    // Version folders that are links: the link to a folder goes alone; links
    // to a file or to nothing are no folders and stay.
    Link(Root() + "/100", outside + "/folder");
    Link(Root() + "/150", outside + "/file.txt");
    Link(Root() + "/160", outside + "/nothing");
    // Names at the limit of a name.
    ASSERT_TRUE(Put(Root() + "/300/" + std::string(255, 'n') + "/" + std::string(255, 'm'), {6}));

    setup.setting6 = u"N";
    const LaunchResult r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_FALSE(PathExists(old));
    EXPECT_FALSE(PathExists(Root() + "/100"));
    EXPECT_TRUE(IsLink(Root() + "/150"));
    EXPECT_TRUE(IsLink(Root() + "/160"));
    EXPECT_FALSE(PathExists(Root() + "/300"));
    EXPECT_EQ(ReadBytes(Library()), package->runtime);
}

// Second names of files elsewhere: the purge removes a name it may remove, and
// never changes the file behind it (a read-only one keeps its bit and its name here).
TEST_F(HostileCache, HardLinksInOldFoldersLoseOnlyTheirNameHere) {
    const std::string old = Root() + "/202500";
    ASSERT_TRUE(MakeFolders(old));
    ASSERT_TRUE(WriteBytes(outside + "/readonly.txt", {4, 5}));
    ASSERT_EQ(chmod((outside + "/readonly.txt").c_str(), 0444), 0);
    before = SnapshotOf(outside);
    ASSERT_EQ(link((outside + "/file.txt").c_str(), (old + "/shared.txt").c_str()), 0);
    ASSERT_EQ(link((outside + "/readonly.txt").c_str(), (old + "/readonly.txt").c_str()), 0);

    setup.setting6 = u"N";
    ExpectEnd(Run(), 0, u"");
    EXPECT_FALSE(PathExists(old + "/shared.txt"));
    struct stat info {};
    ASSERT_EQ(stat((outside + "/file.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_nlink, 1u);
    ASSERT_EQ(chmod((outside + "/readonly.txt").c_str(), 0644), 0);
}

// The local app data folder is reached through a link that a same-user process
// points elsewhere during the run: the removal after it goes through the
// folders this run holds and touches nothing the link leads to now.
TEST_F(HostileCache, TheRemovalAfterTheRunFollowsNoLinkRetargetedDuringIt) {
    const std::string real = dir.Native("real"), decoy = dir.Native("decoy"), via = dir.Native("via");
    ASSERT_TRUE(MakeFolders(real + "/L"));
    ASSERT_TRUE(Put(LibraryOf(decoy + "/L"), {9, 9, 9}));
    ASSERT_TRUE(Put(RuntimeRootOf(decoy + "/L") + "/keep.txt", {8}));
    ASSERT_EQ(symlink(real.c_str(), via.c_str()), 0);
    setup.localAppData = PosixWidePath(via + "/L");
    for (const PlatOp moment : {PlatOp::VerifyTrust, PlatOp::FreeLibrary}) {
        SCOPED_TRACE(PlatOpName(moment));
        setup.decide = [&](PlatOp op, const char16_t*, uint64_t) {
            if (op == moment) {
                EXPECT_EQ(unlink(via.c_str()), 0);
                EXPECT_EQ(symlink(decoy.c_str(), via.c_str()), 0);
            }
            return FaultAction{};
        };
        ExpectEnd(Run(), 0, u"");
        EXPECT_FALSE(PathExists(RuntimeRootOf(real + "/L")));
        EXPECT_EQ(ReadBytes(LibraryOf(decoy + "/L")), (std::vector<uint8_t>{9, 9, 9}));
        EXPECT_TRUE(PathExists(RuntimeRootOf(decoy + "/L") + "/keep.txt"));
        ASSERT_EQ(unlink(via.c_str()), 0);
        ASSERT_EQ(symlink(real.c_str(), via.c_str()), 0);
    }
}

TEST_F(HostileCache, AThousandLevelTreeIsPurgedAndADeeperOneSurvivesWithoutHarm) {
    // 1,000 levels below "...\Vorlane Runtime\1\" with a file at the bottom: the
    // deepest entry's path is just inside the limit.
    ASSERT_TRUE(MakeFolders(Root() + "/1"));
    ASSERT_TRUE(MakeDeepTree(Root() + "/1", 1000));
    ASSERT_LE(PosixWidePath(Root() + "/1").size() + 2 * 1000 + 2, 2046u);
    // 1,100 levels: the bottom lies beyond any path the launcher can form.
    ASSERT_TRUE(MakeFolders(Root() + "/2"));
    ASSERT_TRUE(MakeDeepTree(Root() + "/2", 1100));
    Link(Root() + "/2/d/escape", outside + "/folder");

    setup.setting6 = u"N";
    const LaunchResult r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_FALSE(PathExists(Root() + "/1"));
    // What lies within reach of the limit went; the folders that hold the rest stay.
    EXPECT_TRUE(PathExists(Root() + "/2/d/d"));
    EXPECT_FALSE(PathExists(Root() + "/2/d/escape"));
    EXPECT_EQ(ReadBytes(Library()), package->runtime);
}

TEST_F(HostileCache, ReadOnlyAndHiddenEntriesInTheVersionFolder) {
    // A stale read-only library is rewritten: its bit is cleared by handle first.
    ASSERT_TRUE(MakeFolders(Version()));
    ASSERT_TRUE(WriteBytes(Library(), PatternBytes(3000, 2)));
    ASSERT_EQ(chmod(Library().c_str(), 0444), 0);
    setup.setting6 = u"N";
    ExpectEnd(Run(), 0, u"");
    EXPECT_EQ(ReadBytes(Library()), package->runtime);

    // A current read-only library is used as it is.
    ASSERT_EQ(chmod(Library().c_str(), 0644), 0);
    ASSERT_TRUE(WriteBytes(Library(), package->runtime));
    ASSERT_EQ(chmod(Library().c_str(), 0444), 0);
    ExpectEnd(Run(), 0, u"");
    EXPECT_TRUE(PathExists(Library()));

    // A fresh installation next to read-only, hidden and linked entries: with
    // "Y" the version folder goes with all of them, the root (there before) stays.
    ASSERT_TRUE(RemoveNativeTree(Library()));
    ASSERT_TRUE(WriteBytes(Version() + "/notes.txt", {7}));
    ASSERT_EQ(chmod((Version() + "/notes.txt").c_str(), 0444), 0);
    ASSERT_TRUE(MakeFolders(Version() + "/.state"));
    ASSERT_TRUE(WriteBytes(Version() + "/.state/x", {8}));
    Link(Version() + "/escape", outside + "/folder");
    Link(Version() + "/escape-file", outside + "/file.txt");
    setup.setting6 = u"Y";
    const LaunchResult r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_FALSE(PathExists(Version()));
    EXPECT_TRUE(PathExists(Root()));
}

// Between the installation and the load, the library is replaced by another
// genuine build, or a link above the cache is retargeted once the check holds
// the file: only the checked copy of the archive's library is ever run.
TEST_F(HostileCache, OnlyTheCheckedCopyOfTheArchivesLibraryIsLoaded) {
    // Found current, then rewritten behind the installation's back: refused,
    // put back from the archive once, and the fresh copy runs.
    setup.setting6 = u"N";
    ExpectEnd(Run(), 0, u"");
    std::vector<uint8_t> other = package->runtime;
    other.resize(other.size() + 64, 0xEE);  // same signer, other bytes
    setup.decide = [this, &other](PlatOp op, const char16_t*, uint64_t nth) {
        if (op == PlatOp::FindFirstFileAt && nth == 1) EXPECT_TRUE(WriteBytes(Library(), other));  // the purge
        return FaultAction{};
    };
    LaunchResult r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_EQ(r.loads, 1);
    EXPECT_EQ(ReadBytes(Library()), package->runtime);

    // The local app data folder is reached through a link; a same-user process
    // points it elsewhere, at a tree holding the same bytes, while the check
    // runs: the loader is given the held file's own path, never the link.
    const std::string real = dir.Native("real"), decoy = dir.Native("decoy"), via = dir.Native("via");
    ASSERT_TRUE(Put(LibraryOf(decoy + "/L"), package->runtime));
    ASSERT_TRUE(MakeFolders(real + "/L"));
    ASSERT_EQ(symlink(real.c_str(), via.c_str()), 0);
    setup.localAppData = PosixWidePath(via + "/L");
    setup.decide = [&](PlatOp op, const char16_t*, uint64_t) {
        if (op == PlatOp::VerifyTrust) {
            EXPECT_EQ(unlink(via.c_str()), 0);
            EXPECT_EQ(symlink(decoy.c_str(), via.c_str()), 0);
        }
        return FaultAction{};
    };
    r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_EQ(r.loads, 1);
    EXPECT_EQ(ReadBytes(LibraryOf(real + "/L")), package->runtime);

    // The version folder itself moved aside and refilled between the path's
    // resolution and the load (Windows' share modes forbid it; the mapped file
    // is compared all the same): the runtime is never called.
    setup.localAppData = PosixWidePath(real + "/L");
    setup.decide = [&](PlatOp op, const char16_t*, uint64_t) {
        if (op == PlatOp::LoadLibraryEx) {
            const std::string version = RuntimeDirOf(real + "/L");
            EXPECT_EQ(rename(version.c_str(), (version + ".moved").c_str()), 0);
            EXPECT_TRUE(Put(LibraryOf(real + "/L"), package->runtime));
        }
        return FaultAction{};
    };
    r = Run();
    ExpectEnd(r, 5, u"Cannot load VorlaneStub.dll: the loader mapped another file than the one checked.");
    EXPECT_FALSE(r.runtimeCalled);
}

// A same-user process swaps a folder or the library for a link to the outside
// at the worst moments, between a check and the use of what was checked.
TEST_F(HostileCache, FoldersAndTheLibrarySwappedForLinksMidWalkNeverReachOutside) {
    const std::string old = Root() + "/202500";
    auto swapForLink = [](const std::string& path, const std::string& target) {
        EXPECT_EQ(rename(path.c_str(), (path + ".moved").c_str()), 0) << path;
        EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
    };
    auto endsWith = [](const char16_t* path, const std::u16string& tail) {
        const std::u16string text = path != nullptr ? path : u"";
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    };
    struct Moment {
        const char* what;
        PlatOp op;
        std::u16string tail;  // the end of the path of the call before which the swap happens
    };
    const Moment moments[] = {
        {"after its folder was listed", PlatOp::CreateFileAt, u"202500\\sub"},
        {"after it was opened", PlatOp::FindFirstFileAt, u"202500\\sub"},
        {"while its entries are removed", PlatOp::DeleteByHandle, u"202500\\sub\\a.txt"},
    };
    setup.setting6 = u"N";
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.what);
        ASSERT_TRUE(Put(old + "/sub/a.txt", {1}));
        ASSERT_TRUE(Put(old + "/sub/b.txt", {2}));
        bool swapped = false;
        setup.decide = [&](PlatOp op, const char16_t* path, uint64_t) {
            if (!swapped && op == m.op && endsWith(path, m.tail)) {
                swapped = true;
                swapForLink(old + "/sub", outside + "/folder");
            }
            return FaultAction{};
        };
        ExpectEnd(Run(), 0, u"");
        EXPECT_TRUE(swapped);
        ASSERT_TRUE(RemoveNativeTree(Root()));
    }

    // The library's name, once the up-to-date test found it stale: the
    // fresh copy takes the name back from the link; nothing is written through.
    ASSERT_TRUE(Put(Library(), PatternBytes(3000, 2)));
    setup.decide = [&](PlatOp op, const char16_t* path, uint64_t) {
        static int opens = 0;
        if (op == PlatOp::CreateFileAt && endsWith(path, u"VorlaneStub.dll") && ++opens == 2) {
            swapForLink(Library(), outside + "/stale.dll");
        }
        return FaultAction{};
    };
    LaunchResult r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_FALSE(IsLink(Library()));
    EXPECT_EQ(ReadBytes(Library()), package->runtime);
    ASSERT_TRUE(RemoveNativeTree(Root()));

    // The version folder itself, once prepared: everything below it is written,
    // checked and loaded through its held handle, wherever it was moved.
    bool swapped = false;
    setup.decide = [&](PlatOp op, const char16_t* path, uint64_t) {
        if (!swapped && op == PlatOp::CreateFileAt && endsWith(path, u"VorlaneStub.dll")) {
            swapped = true;
            swapForLink(Version(), outside + "/folder");
        }
        return FaultAction{};
    };
    r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_EQ(ReadBytes(Version() + ".moved/VorlaneStub.dll"), package->runtime);
}

// Where Windows is stricter than Linux, the simulator answers as Windows
// does: a hidden and system file cannot be overwritten by CREATE_ALWAYS, and a
// read-only folder cannot be removed. Neither stops a start.
TEST_F(HostileCache, HiddenSystemLibraryIsRewrittenAndReadOnlyFoldersArePurged) {
    ASSERT_TRUE(Put(Library(), PatternBytes(3000, 2)));
    {
        const PlatFile file = PlatCreateFile(PosixWidePath(Library()).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
        ASSERT_NE(file, PLAT_INVALID_HANDLE);
        EXPECT_TRUE(PlatSetHandleAttributes(file, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
        PlatCloseHandle(file);
    }
    ASSERT_EQ(PlatCreateFile(PosixWidePath(Library()).c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL),
              PLAT_INVALID_HANDLE);
    ASSERT_TRUE(Put(Root() + "/202500/rodir/inside.txt", {3}));
    ASSERT_EQ(chmod((Root() + "/202500/rodir").c_str(), 0555), 0);
    ASSERT_EQ(chmod((Root() + "/202500").c_str(), 0555), 0);

    setup.setting6 = u"N";
    const LaunchResult r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_EQ(ReadBytes(Library()), package->runtime);
    EXPECT_EQ(PlatGetFileAttributes(PosixWidePath(Library()).c_str()), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_FALSE(PathExists(Root() + "/202500"));
}

TEST_F(HostileCache, LocalAppDataPathsAtTheLengthLimit) {
    // The library path "<app data>\Vorlane Runtime\202600\VorlaneStub.dll"
    // is 2047 characters: it runs. One more and it does not fit.
    auto longAppData = [this](size_t wideLength) {
        std::string path = dir.Native("long");
        while (PosixWidePath(path).size() + 201 < wideLength - 1) path += "/" + std::string(200, 'x');
        path += "/" + std::string(wideLength - PosixWidePath(path).size() - 1, 'y');
        EXPECT_EQ(PosixWidePath(path).size(), wideLength);
        EXPECT_TRUE(MakeFolders(path));
        return path;
    };
    const std::string fits = longAppData(2047 - 39);
    // An old version folder there is still within the purge's reach.
    ASSERT_TRUE(Put(RuntimeRootOf(fits) + "/5/old.dll", {9}));
    setup.localAppData = PosixWidePath(fits);
    setup.setting6 = u"N";
    LaunchResult r = Run();
    ExpectEnd(r, 0, u"");
    EXPECT_EQ(PosixWidePath(LibraryOf(fits)).size(), 2047u);
    EXPECT_EQ(ReadBytes(LibraryOf(fits)), package->runtime);
    EXPECT_FALSE(PathExists(RuntimeRootOf(fits) + "/5"));

    const std::string tooLong = longAppData(2047 - 38);
    setup.localAppData = PosixWidePath(tooLong);
    r = Run();
    ExpectEnd(r, -3, u"");
    EXPECT_FALSE(PathExists(LibraryOf(tooLong)));
}

}  // namespace
