// What the loader is handed and what it mapped, over whole launch runs: no
// path whose names Windows would trim in plain form (a trailing dot or space)
// gets near the loader or the runtime, and the mapped image is known by its
// file's identity, not by the name the system reports for it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/sim_control.h"
#include "tests/support/launch_fixture.h"
#include "tests/support/package.h"
#include "tests/support/temp_dir.h"

namespace {

const char16_t CACHE_REFUSED[] = u"Cannot use the runtime cache safely: a name in its path ends in a dot or a space, "
                                 u"and Windows would open other files by it: ";
const char16_t OWN_PATH_REFUSED[] = u"This application cannot start safely: a name in its path ends in a dot or a "
                                    u"space, and Windows would open another file by it: ";
const char16_t MAPPED_OTHER[] = u"Cannot load VorlaneStub.dll: the loader mapped another file than the one checked.";

// The start of a message (a long path is cut at the box's 255 characters).
std::u16string Cut(const std::u16string& text) { return text.substr(0, 255); }

class LoadIdentity : public ::testing::Test {
protected:
    static inline const LaunchPackage* package = nullptr;
    static inline std::string buildError;

    static void SetUpTestSuite() {
        package = SharedLaunchPackage(VORLANE_BINARY_DIR, "identity.exe", RuntimeKind::Recording, 2000, &buildError);
    }

    ScratchFolder dir;
    LaunchSetup setup;
    std::string mark;
    std::vector<uint8_t> planted;

    void SetUp() override {
        ASSERT_NE(package, nullptr) << buildError;
        ASSERT_TRUE(dir.Valid());
        planted = ReadBytes(std::string(VORLANE_BINARY_DIR) + "/tests/runtimes/libnative_runtime_planted.so");
        ASSERT_FALSE(planted.empty());
        mark = dir.Native("planted.mark");
        setenv("VORLANE_TEST_PLANTED_MARK", mark.c_str(), 1);
        setup.modulePath = PosixWidePath(package->path);
        setup.recordPath = dir.Native("record.txt");
        setup.setting6 = u"N";
    }
    void TearDown() override { unsetenv("VORLANE_TEST_PLANTED_MARK"); }

    LaunchResult Run() {
        const LaunchResult r = RunLaunch(setup);
        EXPECT_EQ(r.handlesLeaked, 0);
        EXPECT_EQ(r.heapLeaked, 0);
        EXPECT_FALSE(PathExists(mark)) << "the planted library was mapped";
        EXPECT_EQ(r.exitCode == 0, r.runtimeCalled);
        return r;
    }
    // The planted library where the plain form of the cache in folder would lead.
    void Plant(const std::string& folder) {
        ASSERT_TRUE(MakeFolders(RuntimeDirOf(folder))) << folder;
        ASSERT_TRUE(WriteBytes(LibraryOf(folder), planted));
    }
};

// The local app data folder's value names a folder "x." (any process of the
// user can set it): the cache and the checked library would lie in "x.", the
// loader would map "x\...". Refused before anything is made there.
TEST_F(LoadIdentity, ALocalAppDataNameWindowsWouldTrimIsRefusedBeforeAnythingIsMade) {
    struct Case {
        const char* what;
        std::string folder;
        bool verbatim;
    };
    const std::vector<Case> cases = {
        {"a trailing dot, \\\\?\\ form", "x.", true},
        {"a trailing dot, plain form", "x.", false},
        {"trailing spaces, \\\\?\\ form", "x  ", true},
        {"a name of dots only", "y/...", true},
    };
    Plant(dir.Native("x"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string trimmed = dir.Native(c.folder);
        ASSERT_TRUE(MakeFolders(trimmed));
        const std::u16string value = (c.verbatim ? u"\\\\?\\" : u"") + PosixWidePath(trimmed);
        setup.localAppData = value;
        const LaunchResult r = Run();
        EXPECT_EQ(r.exitCode, 8);
        EXPECT_EQ(r.Messages(), std::vector<std::u16string>{Cut(CACHE_REFUSED + value)});
        EXPECT_EQ(r.loads, 0);
        EXPECT_TRUE(TreeBelow(trimmed).empty()) << "something was made in the refused folder";
    }
    EXPECT_EQ(ReadBytes(LibraryOf(dir.Native("x"))), planted);
}

// The value's names pass, but a link above the cache leads into an "x."
// folder: the held version folder's final path shows it. A folder renamed so
// after that (Windows refuses to rename a folder with open handles below it)
// is still never handed to the loader.
TEST_F(LoadIdentity, ALinkOrARenameLeadingIntoSuchAFolderNeverReachesTheLoader) {
    const std::string dotted = dir.Native("x.");
    ASSERT_TRUE(MakeFolders(dotted));
    Plant(dir.Native("x"));
    ASSERT_EQ(symlink(dotted.c_str(), dir.Native("via").c_str()), 0);
    setup.localAppData = PosixWidePath(dir.Native("via"));
    LaunchResult r = Run();
    EXPECT_EQ(r.exitCode, 8);
    EXPECT_EQ(r.Messages(), std::vector<std::u16string>{Cut(CACHE_REFUSED + PosixWidePath(RuntimeDirOf(dotted)))});
    EXPECT_EQ(r.loads, 0);
    EXPECT_FALSE(PathExists(LibraryOf(dotted))) << "the library was installed into the refused folder";

    const std::string plain = dir.Native("z"), renamed = dir.Native("z.");
    ASSERT_TRUE(MakeFolders(plain));
    setup.localAppData = PosixWidePath(plain);
    setup.decide = [&](PlatOp op, const char16_t*, uint64_t) {
        if (op == PlatOp::VerifyTrust) {
            EXPECT_EQ(rename(plain.c_str(), renamed.c_str()), 0);
            Plant(plain);
        }
        return FaultAction{};
    };
    r = Run();
    EXPECT_EQ(r.exitCode, 8);
    EXPECT_EQ(r.Messages(), std::vector<std::u16string>{Cut(u"Cannot load VorlaneStub.dll safely: a name in its path "
                                                            u"ends in a dot or a space, and Windows would load another "
                                                            u"file by it: " + PosixWidePath(LibraryOf(renamed)))});
    EXPECT_EQ(r.loads, 0);
}

// Plain opens of "x.\app.exe" reach "x\app.exe": the launcher would check
// one file and hand the runtime the name of another. The "\\?\" form is
// taken as it is and runs.
TEST_F(LoadIdentity, AnExecutablePathWindowsWouldTrimRunsOnlyInVerbatimForm) {
    const std::string exe = dir.Native("app./app.exe");
    ASSERT_TRUE(MakeFolders(dir.Native("app.")));
    ASSERT_TRUE(WriteBytes(exe, ReadBytes(package->path)));
    ASSERT_TRUE(MakeFolders(dir.Native("local")));
    setup.localAppData = PosixWidePath(dir.Native("local"));

    setup.modulePath = PosixWidePath(exe);
    LaunchResult r = Run();
    EXPECT_EQ(r.exitCode, 8);
    EXPECT_EQ(r.Messages(), std::vector<std::u16string>{Cut(OWN_PATH_REFUSED + setup.modulePath)});
    // Drawn by the system: "<exe>.local" was not ruled out yet, and nothing is opened.
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].style, MB_ICONERROR | MB_SERVICE_NOTIFICATION);
    EXPECT_EQ(r.Calls(PlatOp::CreateFile) + r.Calls(PlatOp::GetFileAttributes), 0u);

    setup.modulePath = u"\\\\?\\" + PosixWidePath(exe);
    r = Run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.record["module_path"], Utf16ToUtf8(setup.modulePath));
}

// Another process mapped the library first under another name for the same
// file (here through a folder link above the cache), so the system names the
// image by that name: the same file runs. Once that name leads to another
// file, or to nothing, the image cannot be shown to be the checked file, and
// nothing of it is called.
TEST_F(LoadIdentity, TheMappedImageIsKnownByItsFilesIdentityNotByItsName) {
    const std::string appData = dir.Native("local");
    ASSERT_TRUE(MakeFolders(appData));
    setup.localAppData = PosixWidePath(appData);
    ASSERT_EQ(Run().exitCode, 0);  // installs

    const std::string alias = dir.Native("alias");
    ASSERT_EQ(symlink(appData.c_str(), alias.c_str()), 0);
    setup.sharedImage = PosixWidePath(LibraryOf(alias));
    LaunchResult r = Run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.runtimeCalled);

    // The name is pointed at a tree holding the same bytes once the check holds the library.
    const std::string decoy = dir.Native("decoy");
    ASSERT_TRUE(MakeFolders(RuntimeDirOf(decoy)));
    ASSERT_TRUE(WriteBytes(LibraryOf(decoy), package->runtime));
    setup.decide = [&](PlatOp op, const char16_t*, uint64_t) {
        if (op == PlatOp::LoadLibraryEx) {
            EXPECT_EQ(unlink(alias.c_str()), 0);
            EXPECT_EQ(symlink(decoy.c_str(), alias.c_str()), 0);
        }
        return FaultAction{};
    };
    r = Run();
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.Messages(), std::vector<std::u16string>{MAPPED_OTHER});
    EXPECT_FALSE(r.runtimeCalled);

    ASSERT_EQ(unlink(alias.c_str()), 0);
    ASSERT_EQ(symlink(appData.c_str(), alias.c_str()), 0);
    setup.decide = [&](PlatOp op, const char16_t*, uint64_t) {
        if (op == PlatOp::LoadLibraryEx) EXPECT_EQ(unlink(alias.c_str()), 0);
        return FaultAction{};
    };
    r = Run();
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.Messages(), std::vector<std::u16string>{u"Cannot load VorlaneStub.dll: the file it mapped cannot be "
                                                        u"compared with the one checked (error 3)."});
    EXPECT_FALSE(r.runtimeCalled);
    EXPECT_EQ(ReadBytes(LibraryOf(appData)), package->runtime);
}

}  // namespace
