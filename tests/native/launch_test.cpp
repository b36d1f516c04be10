// The whole launch sequence over the simulator, stage by stage: each
// expected failure ends with its exit code and message (or silence), a normal
// end hands the runtime its eight arguments, the after-run removal takes only
// what the run itself put there, and no run leaks a handle or a heap block.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/owned.h"
#include "launcher/build_config.h"
#include "platform/sim_control.h"
#include "tests/support/launch_fixture.h"
#include "tests/support/package.h"
#include "tests/support/temp_dir.h"

namespace {

const char16_t LOAD_FAILED[] = u"Failed to load VorlaneStub DLL";

FaultAction Failing(uint32_t error) { return FaultAction{FaultAction::Fail, error, 0}; }

class Launch : public ::testing::Test {
protected:
    static inline const LaunchPackage* package = nullptr;
    static inline const LaunchPackage* noExport = nullptr;
    static inline std::string buildError;

    static void SetUpTestSuite() {
        package = SharedLaunchPackage(VORLANE_BINARY_DIR, "launch.exe", RuntimeKind::Recording, 6000, &buildError);
        if (package != nullptr) {
            noExport =
                SharedLaunchPackage(VORLANE_BINARY_DIR, "noexport.exe", RuntimeKind::NoExport, 3000, &buildError);
        }
        if (noExport == nullptr) package = nullptr;
    }

    TempDir dir;
    LaunchSetup setup;
    std::string appData;

    void SetUp() override {
        ASSERT_NE(package, nullptr) << buildError;
        appData = dir.Native("local");
        ASSERT_TRUE(MakeFolders(appData));
        setup.modulePath = PosixWidePath(package->path);
        setup.localAppData = PosixWidePath(appData);
        setup.recordPath = dir.Native("record.txt");
        setup.expectedLibrary = &package->runtime;
    }

    // Every run is checked for leaks against what the test itself holds.
    LaunchResult Run() {
        LaunchResult r = RunLaunch(setup);
        EXPECT_EQ(r.handlesLeaked, 0);
        EXPECT_EQ(r.heapLeaked, 0);
        EXPECT_EQ(r.localLeaked, 0);
        for (const PosixMessageBox& box : r.boxes) {
            EXPECT_EQ(box.caption, u"Error");
            EXPECT_EQ(box.style & MB_ICONERROR, MB_ICONERROR);
        }
        return r;
    }
    // The run ended with code and exactly this message (none when empty), without the runtime.
    void ExpectEnd(const LaunchResult& r, int code, const std::u16string& message) {
        EXPECT_EQ(r.exitCode, code);
        if (message.empty()) {
            EXPECT_TRUE(r.boxes.empty()) << Utf16ToUtf8(r.boxes.empty() ? u"" : r.boxes[0].text);
        } else {
            EXPECT_EQ(r.Messages(), std::vector<std::u16string>{message});
        }
        EXPECT_FALSE(r.runtimeCalled);
    }
    std::string Root() const { return RuntimeRootOf(appData); }
    std::string Library() const { return LibraryOf(appData); }
    // Installs the right library (or other bytes) the way an earlier run would have left it.
    void PreInstall(const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(MakeFolders(RuntimeDirOf(appData)));
        ASSERT_TRUE(WriteBytes(Library(), bytes));
    }
};


// ---- stages 1 to 8 -------------------------------------------------------------------

TEST_F(Launch, OwnPathMissingOrCutEndsBeforeAnythingIsOpened) {
    setup.modulePathSet = false;
    ExpectEnd(Run(), -1, u"Cannot resolve own module path");
    setup.modulePathSet = true;
    setup.modulePath = u"";
    ExpectEnd(Run(), -1, u"Cannot resolve own module path");

    // 2048 characters do not fit with the terminator: the platform cuts them.
    setup.modulePath = u"Z:\\" + std::u16string(2045, u'a');
    ASSERT_EQ(setup.modulePath.size(), 2048u);
    const LaunchResult r = Run();
    ExpectEnd(r, -1, u"Cannot resolve own module path");
    EXPECT_EQ(r.Calls(PlatOp::CreateFile), 0u);
    EXPECT_FALSE(PathExists(Root()));
}

TEST_F(Launch, AnOwnPathOf2047CharactersRuns) {
    // Z: + the native path: folders of 200 characters, then a name that makes 2047 exactly.
    std::string native = dir.Native("deep");
    while (native.size() + 2 + 1 + 200 < 2047 - 10) native += "/" + std::string(200, 'p');
    ASSERT_TRUE(MakeFolders(native));
    native += "/" + std::string(2047 - 2 - native.size() - 1, 'x');
    ASSERT_EQ(PosixWidePath(native).size(), 2047u);
    ASSERT_TRUE(WriteBytes(native, ReadBytes(package->path)));  // the shared package may lie on another device
    setup.modulePath = PosixWidePath(native);

    const LaunchResult r = Run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.boxes.empty());
    ASSERT_TRUE(r.runtimeCalled);
    EXPECT_EQ(r.record.at("module_path"), Utf16ToUtf8(setup.modulePath));
}

TEST_F(Launch, ADotLocalBesideTheExecutableStopsTheStartBeforeAnythingIsOpened) {
    // Windows would take libraries from it; file or folder, nothing else is done.
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "folder" : "file");
        const std::string local = package->path + ".local";
        ASSERT_TRUE(folder ? MakeFolders(local) : WriteBytes(local, {1}));
        const LaunchResult r = Run();
        ExpectEnd(r, 7,
                  u"This application cannot start safely: remove \"" + setup.modulePath + u".local\" from its folder.");
        // Shown by the system, so the box itself loads no library from that folder.
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.boxes[0].style, MB_ICONERROR | MB_SERVICE_NOTIFICATION);
        EXPECT_EQ(r.Calls(PlatOp::CreateFile), 0u);
        EXPECT_FALSE(PathExists(Root()));
        ASSERT_TRUE(RemoveNativeTree(local));
    }
}

TEST_F(Launch, AnExecutableThatCannotBeOpenedProbedOrSearched) {
    setup.modulePath = PosixWidePath(dir.Native("missing.exe"));
    ExpectEnd(Run(), -1, u"Error opening EXE");

    ASSERT_TRUE(dir.WriteFile("text.exe", std::string(8000, 'T')));
    setup.modulePath = dir.Wide("text.exe");
    ExpectEnd(Run(), -2, u"Cannot determine EXE size");

    // The probe reads through the held handle: its read failing is a failed probe.
    setup.modulePath = PosixWidePath(package->path);
    setup.faults = {{PlatOp::ReadFile, 1, Failing(ERROR_READ_FAULT), u""}};
    ExpectEnd(Run(), -2, u"Cannot determine EXE size");

    setup.faults.clear();
    setup.modulePath = PosixWidePath(package->imagePath);
    ExpectEnd(Run(), 1, u"7z archive not found");

    // The search's own positioning (after the probe's) failing is a search that found nothing.
    setup.modulePath = PosixWidePath(package->path);
    setup.faults = {{PlatOp::SetFilePointer, 2, Failing(ERROR_INVALID_PARAMETER), u""}};
    ExpectEnd(Run(), 1, u"7z archive not found");
    EXPECT_FALSE(PathExists(Root()));
}

TEST_F(Launch, PositioningLookAheadAndArchiveOpenFailures) {
    // Stage 6 is the third positioning of the run (after the probe's and the search's); it ends silently.
    setup.faults = {{PlatOp::SetFilePointer, 3, Failing(ERROR_INVALID_PARAMETER), u""}};
    ExpectEnd(Run(), -4, u"");

    // Nothing is allocated before the look-ahead buffer and the checks' read buffer.
    for (uint64_t nth : {1u, 2u}) {
        setup.faults = {{PlatOp::HeapAlloc, nth, Failing(ERROR_NOT_ENOUGH_MEMORY), u""}};
        ExpectEnd(Run(), 1, u"Memory allocation error");
    }

    // The decoder's allocations come from the same heap: out of memory is its code 2.
    setup.faults = {{PlatOp::HeapAlloc, 3, Failing(ERROR_NOT_ENOUGH_MEMORY), u""}};
    ExpectEnd(Run(), 2, u"SzArEx_Open error: 2");

    // A read failing under the decoder (the first read after stage 6) is its read error, 8.
    setup.faults.clear();
    bool positioned = false;
    bool failed = false;
    setup.decide = [&positioned, &failed](PlatOp op, const char16_t*, uint64_t nth) {
        if (op == PlatOp::SetFilePointer && nth == 3) positioned = true;
        if (op != PlatOp::ReadFile || !positioned || failed) return FaultAction{};
        failed = true;
        return Failing(ERROR_READ_FAULT);
    };
    ExpectEnd(Run(), 2, u"SzArEx_Open error: 8");
    setup.decide = nullptr;

    // A damaged header: the next header's CRC no longer matches.
    setup.faults.clear();
    const std::vector<uint8_t> bytes = ReadBytes(package->path);
    ASSERT_TRUE(WriteFlippedCopy(*package, bytes.size() - 3, dir.Native("damaged.exe")));
    setup.modulePath = dir.Wide("damaged.exe");
    const LaunchResult r = Run();
    EXPECT_EQ(r.exitCode, 2);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text.rfind(u"SzArEx_Open error: ", 0), 0u);
    EXPECT_NE(r.boxes[0].text, u"SzArEx_Open error: 0");
    EXPECT_FALSE(PathExists(Root()));
}

// ---- stage 9: nothing is written before the payload is verified ------------------------

TEST_F(Launch, PayloadFailuresEndBeforeTheCacheIsTouched) {
    // An archive without the payload.
    std::vector<uint8_t> bytes = ReadBytes(package->imagePath);
    const std::vector<uint8_t> archive = BuildStoredArchive({{u"VorlaneStub.dll", package->runtime}});
    bytes.insert(bytes.end(), archive.begin(), archive.end());
    ASSERT_TRUE(WriteBytes(dir.Native("nopayload.exe"), bytes));
    setup.modulePath = dir.Wide("nopayload.exe");
    ExpectEnd(Run(), 3, u"Vorlane.Bin not found");

    // A size the platform does not report leaves no room for the payload.
    setup.modulePath = PosixWidePath(package->path);
    setup.faults = {{PlatOp::GetFileSizeEx, 1, Failing(ERROR_ACCESS_DENIED), u""}};
    ExpectEnd(Run(), 3, u"Vorlane.Bin offset out of range");

    // One byte of the payload changed inside the executable.
    setup.faults.clear();
    ASSERT_TRUE(WriteFlippedCopy(*package, package->payloadOffset + package->payload.size() - 1,
                                 dir.Native("flipped.exe")));
    setup.modulePath = dir.Wide("flipped.exe");
    ExpectEnd(Run(), 3, u"Vorlane.Bin CRC error");

    EXPECT_FALSE(PathExists(Root()));
}

// ---- stages 10 and 11 --------------------------------------------------------------------

TEST_F(Launch, RuntimeFolderThatCannotBePreparedOrPathThatDoesNotFit) {
    setup.localAppDataResult = static_cast<int32_t>(0x80004005u);
    ExpectEnd(Run(), -3, u"Failed to create output directory");

    setup.localAppDataResult = 0;
    ASSERT_TRUE(WriteBytes(Root(), {1, 2, 3}));
    ExpectEnd(Run(), -3, u"Failed to create output directory");
    ASSERT_EQ(std::remove(Root().c_str()), 0);

    // RuntimeDir fits (2043 characters) but RuntimeDir\VorlaneStub.dll does not.
    std::string longBase = dir.Native("long");
    while (PosixWidePath(longBase).size() + 201 < 2020) longBase += "/" + std::string(200, 'q');
    longBase += "/" + std::string(2020 - PosixWidePath(longBase).size() - 1, 'r');
    ASSERT_EQ(PosixWidePath(longBase).size(), 2020u);
    ASSERT_TRUE(MakeFolders(longBase));
    setup.localAppData = PosixWidePath(longBase);
    const LaunchResult r = Run();
    ExpectEnd(r, -3, u"");
    EXPECT_EQ(r.loads, 0);
    // The folders stand; nothing was written into them.
    struct stat st;
    ASSERT_EQ(lstat(RuntimeDirOf(longBase).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(PathExists(LibraryOf(longBase)));
}

// ---- stage 12 ------------------------------------------------------------------------------

TEST_F(Launch, InstallationFailuresEndWithCode4) {
    const std::vector<uint8_t> other = PatternBytes(package->runtime.size(), 99);

    // Another copy is writing the library (or keeps readers out).
    PreInstall(other);
    PlatFile held = PlatCreateFile(PosixWidePath(Library()).c_str(), GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(held, PLAT_INVALID_HANDLE);
    ExpectEnd(Run(), 4, u"Cannot update VorlaneStub.dll: file is in use and has a different CRC.");
    PlatCloseHandle(held);

    // Another copy has a different library loaded: readers welcome, writers not.
    held = PlatCreateFile(PosixWidePath(Library()).c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(held, PLAT_INVALID_HANDLE);
    ExpectEnd(Run(), 4, u"Cannot update VorlaneStub.dll: file is in use.");
    PlatCloseHandle(held);
    EXPECT_EQ(ReadBytes(Library()), other);

    // The same library loaded by another copy is simply used.
    ASSERT_TRUE(WriteBytes(Library(), package->runtime));
    held = PlatCreateFile(PosixWidePath(Library()).c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(held, PLAT_INVALID_HANDLE);
    LaunchResult r = Run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.runtimeCalled);
    PlatCloseHandle(held);
    EXPECT_EQ(PosixOpenHandleCount(), 0u);

    // A failed write leaves no partial library behind.
    ASSERT_EQ(std::remove(Library().c_str()), 0);
    setup.faults = {{PlatOp::WriteFile, 1, Failing(ERROR_DISK_FULL), u""}};
    ExpectEnd(Run(), 4, u"Failed to write VorlaneStub.dll (error 112).");
    EXPECT_FALSE(PathExists(Library()));

    setup.faults = {{PlatOp::WriteFile, 1, FaultAction{FaultAction::Short, 0, 0}, u""}};
    ExpectEnd(Run(), 4, u"Failed to write VorlaneStub.dll (error 29).");
    EXPECT_FALSE(PathExists(Library()));

    // After a failed installation nothing is removed, even with setting 6 "Y".
    EXPECT_TRUE(PathExists(RuntimeDirOf(appData)));
}

// ---- stage 14 ------------------------------------------------------------------------------

TEST_F(Launch, ALibraryThatFailsItsCheckIsNeverLoadedAndTheCacheStays) {
    if (!VORLANE_VERIFY_SIGNATURE) GTEST_SKIP() << "built without the signature check";
    struct Case {
        uint32_t trust;
        std::u16string signer;
        std::u16string message;
    };
    const std::vector<Case> cases = {
        {PLAT_TRUST_UNTRUSTED_ROOT, u"Vorlane",
         u"VorlaneStub.dll is signed by Vorlane, whose certificate is not trusted (0x800B0109)."},
        {PLAT_TRUST_NOSIGNATURE, u"", u"VorlaneStub.dll is not signed."},
        {PLAT_TRUST_BAD_DIGEST, u"Vorlane", u"VorlaneStub.dll has an invalid signature (0x80096010)."},
        {PLAT_TRUST_OK, u"Mallory", u"VorlaneStub.dll is signed by Mallory, expected Vorlane."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.message));
        setup.trust = c.trust;
        setup.signer = c.signer;
        const LaunchResult r = Run();
        ExpectEnd(r, 5, c.message);
        EXPECT_EQ(r.loads, 0);
        // A failure before the hand-off never removes anything, setting 6 "Y" or not.
        EXPECT_EQ(ReadBytes(Library()), package->runtime);
    }
}

// A launcher packed with the library's digest runs that build and no other,
// whatever its CRC-32, signer or name; the cache repairs itself from the archive.
TEST_F(Launch, APinnedLauncherRunsOnlyThePackedBuild) {
    if (!VORLANE_VERIFY_SIGNATURE) GTEST_SKIP() << "built without the signature check";
    setup.pin = PinTextOf(package->runtime);
    setup.setting6 = u"N";
    LaunchResult r = Run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.runtimeCalled);

    // Another signed build given the archive entry's size and CRC-32 (four
    // bytes outside what the signature covers do it): the up-to-date test
    // cannot tell, the pin can. It is replaced once and the packed build runs.
    std::vector<uint8_t> forged = package->runtime;
    forged[forged.size() / 2] ^= 0x5A;
    ASSERT_TRUE(ForgeCrc32(&forged, forged.size() - 4, Crc32(package->runtime.data(), package->runtime.size())));
    ASSERT_NE(forged, package->runtime);
    PreInstall(forged);
    setup.expectedLibrary = nullptr;  // the forged build is checked first, by design
    r = Run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_TRUE(r.runtimeCalled);
    EXPECT_EQ(r.lastLoaded, package->runtime);
    EXPECT_EQ(ReadBytes(Library()), package->runtime);
    setup.expectedLibrary = &package->runtime;

    // An archive whose library is not the pinned build: rewritten once, then refused.
    setup.pin = PinTextOf(forged);
    r = Run();
    ExpectEnd(r, 5, u"VorlaneStub.dll is not the runtime this application was packed with (digest " +
                        PinTextOf(package->runtime) + u").");
    EXPECT_EQ(r.loads, 0);

    // A pin that cannot be read is no pin to skip.
    for (const char16_t* bad : {u"sha256:00", u"md5:0123456789abcdef0123456789abcdef", u"sha256"}) {
        SCOPED_TRACE(Utf16ToUtf8(bad));
        setup.pin = std::u16string(bad);
        r = Run();
        ExpectEnd(r, 5, u"Cannot check VorlaneStub.dll: this application's pin cannot be read.");
        EXPECT_EQ(r.loads, 0);
    }
}

// Apps packed from the same code signed apart (another signing time, another
// certificate of the publisher) share one library: a pinned launcher knows the
// packed code by its check, not by the file's bytes, and never reads the
// library for a CRC. What the check refuses is rewritten once, as ever; without
// a pin the CRC-32 of the whole file still decides.
TEST_F(Launch, APinnedLauncherRunsTheSameCodeSignedApartAsItIs) {
    if (!VORLANE_VERIFY_SIGNATURE) GTEST_SKIP() << "built without the signature check";
    // Other bytes, the same code: the trust services report the packed digest for it.
    std::vector<uint8_t> signedApart = package->runtime;
    signedApart.resize(signedApart.size() + 512, 0xA5);
    setup.pin = PinTextOf(package->runtime);
    setup.trustDigest = PosixDigestOf(package->runtime);
    setup.expectedLibrary = &signedApart;
    uint64_t libraryReads = 0;
    setup.decide = [&libraryReads](PlatOp op, const char16_t* path, uint64_t) {
        const std::u16string name = path != nullptr ? path : u"";
        if (op == PlatOp::ReadFile && name.size() >= 16 && name.compare(name.size() - 16, 16, u"\\VorlaneStub.dll") == 0) {
            ++libraryReads;
        }
        return FaultAction{};
    };
    PreInstall(signedApart);
    const auto before = TreeBelow(Root());
    {
        SCOPED_TRACE("found in place");
        const LaunchResult r = Run();
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.runtimeCalled);
        EXPECT_EQ(r.lastLoaded, signedApart);
        EXPECT_EQ(libraryReads, 0u) << "the library was read";
        // Neither rewritten nor, as the start found it in place, removed after the run.
        EXPECT_EQ(TreeBelow(Root()), before);
    }
    {
        SCOPED_TRACE("loaded by a running copy, which keeps writers out");
        const OwnedModule running(PlatLoadLibraryEx(PosixWidePath(Library()).c_str(), 0));
        ASSERT_TRUE(running.Valid());
        const LaunchResult r = Run();
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.runtimeCalled);
        EXPECT_EQ(TreeBelow(Root()), before);
    }
    {
        SCOPED_TRACE("refused by the check (its first answer: a broken signature)");
        setup.decide = [](PlatOp op, const char16_t*, uint64_t nth) {
            return op == PlatOp::VerifyTrust && nth == 1 ? Failing(PLAT_TRUST_BAD_DIGEST) : FaultAction{};
        };
        setup.expectedLibrary = nullptr;
        const LaunchResult r = Run();
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.runtimeCalled);
        EXPECT_EQ(r.Calls(PlatOp::RenameByHandle), 1u);
        EXPECT_EQ(r.lastLoaded, package->runtime);
        EXPECT_EQ(ReadBytes(Library()), package->runtime);
    }
    {
        SCOPED_TRACE("no pin: the CRC-32 of the whole file decides");
        PreInstall(signedApart);
        setup.pin.reset();
        setup.decide = nullptr;
        const LaunchResult r = Run();
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.runtimeCalled);
        EXPECT_EQ(r.Calls(PlatOp::RenameByHandle), 1u);
        EXPECT_EQ(ReadBytes(Library()), package->runtime);
    }
}

// ---- stage 15 ------------------------------------------------------------------------------

TEST_F(Launch, ARuntimeThatCannotRunEndsWithCode6AndIsStillRemoved) {
    setup.modulePath = PosixWidePath(noExport->path);
    setup.expectedLibrary = &noExport->runtime;
    LaunchResult r = Run();
    ExpectEnd(r, 6, LOAD_FAILED);
    EXPECT_EQ(r.loads, 1);
    EXPECT_FALSE(PathExists(Root()));

    setup.modulePath = PosixWidePath(package->path);
    setup.expectedLibrary = &package->runtime;
    setup.faults = {{PlatOp::LoadLibraryEx, 1, Failing(ERROR_MOD_NOT_FOUND), u""}};
    ExpectEnd(Run(), 6, LOAD_FAILED);
    EXPECT_FALSE(PathExists(Root()));

    // Settings 4 and 5 are both needed; without either the runtime is not called, silently.
    setup.faults.clear();
    setup.setting4.reset();
    r = Run();
    ExpectEnd(r, 6, u"");
    EXPECT_EQ(r.loads, 1);
    EXPECT_FALSE(PathExists(Root()));
    setup.setting4 = u"FALSE";
    setup.setting5.reset();
    ExpectEnd(Run(), 6, u"");
    EXPECT_FALSE(PathExists(Root()));
}

TEST_F(Launch, ANormalEndPassesTheEightArgumentsAndReturns0) {
    setup.commandLine = u"app.exe \"C:\\My Files\\book\" b";
    const LaunchResult r = Run();
    EXPECT_EQ(r.exitCode, 0);  // the runtime returned 77
    EXPECT_TRUE(r.boxes.empty());
    ASSERT_TRUE(r.runtimeCalled);
    EXPECT_TRUE(r.trustPassed);
    EXPECT_EQ(r.loads, 1);
    EXPECT_TRUE(r.loadsSawExpected);
    EXPECT_EQ(r.record.at("instance"), "0x5eed0000");
    EXPECT_EQ(r.record.at("module_path"), Utf16ToUtf8(setup.modulePath));
    EXPECT_EQ(r.record.at("setting4"), "FALSE");
    EXPECT_EQ(r.record.at("setting5"), "NO");
    EXPECT_EQ(r.record.at("first_argument"), "C:\\My Files\\book");
    EXPECT_EQ(r.record.at("argument_line"), "\"C:\\My Files\\book\" b");
    EXPECT_EQ(r.record.at("payload_offset"), std::to_string(package->archiveStart + 32));
    EXPECT_EQ(r.record.at("payload_size"), std::to_string(package->payload.size()));

    // No arguments: both empty. The settings are passed as they are.
    setup.commandLine = u"app.exe";
    setup.setting4 = u"x y";
    setup.setting5 = std::u16string(300, u'5');  // read up to 255 characters
    const LaunchResult bare = Run();
    EXPECT_EQ(bare.exitCode, 0);
    ASSERT_TRUE(bare.runtimeCalled);
    EXPECT_EQ(bare.record.at("first_argument"), "");
    EXPECT_EQ(bare.record.at("argument_line"), "");
    EXPECT_EQ(bare.record.at("setting4"), "x y");
    EXPECT_EQ(bare.record.at("setting5"), std::string(255, '5'));
}

// ---- after-run removal ------------------------------------------------------------------------

TEST_F(Launch, RemovalNeedsExactlyYAndAFreshInstallation) {
    // A first run with "Y" takes the version folder and the root it created.
    LaunchResult r = Run();
    ASSERT_TRUE(r.runtimeCalled);
    EXPECT_FALSE(PathExists(Root()));

    for (const char16_t* value : {u"y", u"Yes", u"N", u" Y"}) {
        SCOPED_TRACE(Utf16ToUtf8(value));
        setup.setting6 = std::u16string(value);
        r = Run();
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(ReadBytes(Library()), package->runtime);
        ASSERT_TRUE(RemoveNativeTree(Root()));
    }
    setup.setting6.reset();
    EXPECT_EQ(Run().exitCode, 0);
    EXPECT_EQ(ReadBytes(Library()), package->runtime);

    // The library stood there already: current, or rewritten because it differed.
    setup.setting6 = u"Y";
    r = Run();
    EXPECT_TRUE(r.runtimeCalled);
    EXPECT_EQ(ReadBytes(Library()), package->runtime);
    ASSERT_TRUE(WriteBytes(Library(), PatternBytes(500, 1)));
    r = Run();
    EXPECT_TRUE(r.runtimeCalled);
    EXPECT_EQ(ReadBytes(Library()), package->runtime);

    // The root stood there already (another version's folder in it): only RuntimeDir goes.
    ASSERT_TRUE(RemoveNativeTree(RuntimeDirOf(appData)));
    ASSERT_TRUE(MakeFolders(Root() + "/202700"));
    r = Run();
    EXPECT_TRUE(r.runtimeCalled);
    EXPECT_FALSE(PathExists(RuntimeDirOf(appData)));
    EXPECT_TRUE(PathExists(Root() + "/202700"));
}

}  // namespace
