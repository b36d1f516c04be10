// Starts over a cache that an earlier start or the machine left torn or
// stale, with a full disk, and with files someone else holds for a moment (as
// a scanner does on Windows) or for good. Each start repairs and runs or ends
// with its message, and leaves nothing behind it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/owned.h"
#include "platform/sim_control.h"
#include "tests/support/launch_fixture.h"
#include "tests/support/package.h"
#include "tests/support/temp_dir.h"

namespace {

const char16_t IN_USE[] = u"Cannot update VorlaneStub.dll: file is in use.";
const char16_t DISK_FULL[] = u"Failed to write VorlaneStub.dll (error 112).";

FaultAction Failing(uint32_t error) { return FaultAction{FaultAction::Fail, error, 0}; }

bool EndsWith(const char16_t* path, const std::u16string& suffix) {
    if (path == nullptr) return false;
    const std::u16string text(path);
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Someone holding an object: calls of op on a path ending in suffix fail with
// error, the first `times` of them (every one when times is negative).
LaunchDecider Holding(PlatOp op, std::u16string suffix, uint32_t error, int times) {
    auto seen = std::make_shared<int>(0);
    return [=](PlatOp called, const char16_t* path, uint64_t) {
        if (called != op || !EndsWith(path, suffix)) return FaultAction{};
        return times < 0 || (*seen)++ < times ? Failing(error) : FaultAction{};
    };
}

class CacheRecovery : public ::testing::Test {
protected:
    static inline const LaunchPackage* package = nullptr;
    static inline std::string buildError;

    static void SetUpTestSuite() {
        package = SharedLaunchPackage(VORLANE_BINARY_DIR, "app.exe", RuntimeKind::Recording, 2000, &buildError);
    }

    ScratchFolder dir;
    LaunchSetup setup;
    std::string appData;
    std::vector<uint8_t> older;

    void SetUp() override {
        ASSERT_NE(package, nullptr) << buildError;
        appData = dir.Native("L");
        older = PatternBytes(package->runtime.size() + 64, 5);
        setup.modulePath = PosixWidePath(package->path);
        setup.localAppData = PosixWidePath(appData);
        setup.recordPath = dir.Native("record.txt");
        setup.expectedLibrary = &package->runtime;
        setup.setting6 = u"N";
        Reset();
    }

    std::string Root() const { return RuntimeRootOf(appData); }
    std::string Version() const { return RuntimeDirOf(appData); }
    std::string Library() const { return LibraryOf(appData); }

    void Reset() {
        ASSERT_TRUE(RemoveNativeTree(appData));
        ASSERT_TRUE(MakeFolders(appData));
    }
    void PreInstall(const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(MakeFolders(Version()));
        ASSERT_TRUE(WriteBytes(Library(), bytes));
    }
    // Paths below the local app data folder.
    std::set<std::string> Cache() const {
        std::set<std::string> names;
        for (const auto& entry : TreeBelow(appData)) names.insert(entry.first);
        return names;
    }
    std::set<std::string> InstalledOnly() const {
        return {"Vorlane Runtime", "Vorlane Runtime/202600", "Vorlane Runtime/202600/VorlaneStub.dll"};
    }

    LaunchResult Run() {
        LaunchResult r = RunLaunch(setup);
        EXPECT_EQ(r.heapLeaked, 0);
        EXPECT_EQ(r.localLeaked, 0);
        return r;
    }
    void ExpectRuns(const LaunchResult& r) {
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.boxes.empty()) << Utf16ToUtf8(r.boxes.empty() ? u"" : r.boxes[0].text);
        EXPECT_TRUE(r.runtimeCalled);
        EXPECT_EQ(r.lastLoaded, package->runtime);
    }
    void ExpectEnd(const LaunchResult& r, int code, const std::u16string& message) {
        EXPECT_EQ(r.exitCode, code);
        EXPECT_EQ(r.Messages(), std::vector<std::u16string>{message});
        EXPECT_FALSE(r.runtimeCalled);
    }
};


// ---- torn and stale files -----------------------------------------------------------------------

TEST_F(CacheRecovery, ATornLibraryIsRewrittenOnceAndRuns) {
    const std::vector<uint8_t>& whole = package->runtime;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> torn;
    for (const size_t length : {size_t{0}, size_t{1}, size_t{4096}, whole.size() / 2, whole.size() - 1}) {
        torn.push_back({"cut at " + std::to_string(length), std::vector<uint8_t>(whole.begin(), whole.begin() + length)});
    }
    // Delayed writes lost in a power cut: the length is there, the tail reads as zeros.
    for (const size_t zeroed : {size_t{4096}, whole.size() / 2}) {
        std::vector<uint8_t> bytes = whole;
        std::fill(bytes.end() - static_cast<long>(zeroed), bytes.end(), 0);
        torn.push_back({"last " + std::to_string(zeroed) + " bytes zeroed", bytes});
    }
    for (const auto& [name, bytes] : torn) {
        SCOPED_TRACE(name);
        Reset();
        PreInstall(bytes);
        const LaunchResult r = Run();
        ExpectRuns(r);
        EXPECT_EQ(r.Calls(PlatOp::RenameByHandle), 1u);
        EXPECT_EQ(ReadBytes(Library()), whole);
        EXPECT_EQ(Cache(), InstalledOnly());
    }
}

TEST_F(CacheRecovery, AFolderAtTheLibraryPathIsRefusedAtOnceAndNothingIsLeft) {
    ASSERT_TRUE(MakeFolders(Library() + "/inner"));
    ASSERT_TRUE(WriteBytes(Library() + "/inner/note.txt", {'n'}));
    setup.setting6 = u"Y";
    for (int start = 0; start < 2; ++start) {
        const LaunchResult r = Run();
        ExpectEnd(r, 4, IN_USE);
        // Not a hold that could clear: no waiting for it.
        EXPECT_EQ(r.sleepRequested, 0u);
        EXPECT_EQ(Cache(), (std::set<std::string>{"Vorlane Runtime", "Vorlane Runtime/202600",
                                                  "Vorlane Runtime/202600/VorlaneStub.dll",
                                                  "Vorlane Runtime/202600/VorlaneStub.dll/inner",
                                                  "Vorlane Runtime/202600/VorlaneStub.dll/inner/note.txt"}));
    }
}

TEST_F(CacheRecovery, ANewFileLeftByAnInterruptedInstallationIsTakenOverOrPurged) {
    const std::string own = "VorlaneStub.dll." + std::to_string(getpid()) + ".new";
    for (const bool current : {false, true}) {
        for (const std::string& left : {own, std::string("VorlaneStub.dll.4242.new")}) {
            SCOPED_TRACE(left + (current ? " beside a current library" : " where no library stands"));
            Reset();
            if (current) PreInstall(package->runtime);
            ASSERT_TRUE(MakeFolders(Version()));
            ASSERT_TRUE(WriteBytes(Version() + "/" + left, std::vector<uint8_t>(package->runtime.begin(),
                                                                                package->runtime.begin() + 700)));
            const LaunchResult r = Run();
            ExpectRuns(r);
            EXPECT_EQ(r.Calls(PlatOp::RenameByHandle), current ? 0u : 1u);
            EXPECT_EQ(ReadBytes(Library()), package->runtime);
            EXPECT_EQ(Cache(), InstalledOnly());
        }
    }
}

// ---- a full disk --------------------------------------------------------------------------------

TEST_F(CacheRecovery, AFullDiskEndsTheInstallationWithItsMessageAndTheNextStartRuns) {
    // Nothing in place: every write finds the disk full.
    setup.faults = {{PlatOp::WriteFile, 0, Failing(ERROR_DISK_FULL), u".new"}};
    ExpectEnd(Run(), 4, DISK_FULL);
    EXPECT_EQ(Cache(), (std::set<std::string>{"Vorlane Runtime", "Vorlane Runtime/202600"}));

    // A stale library: the first write takes what room is left, the next finds none.
    Reset();
    PreInstall(older);
    setup.faults.clear();
    setup.decide = [](PlatOp op, const char16_t*, uint64_t nth) {
        if (op != PlatOp::WriteFile) return FaultAction{};
        return nth == 1 ? FaultAction{FaultAction::Short, 0, 1000} : Failing(ERROR_DISK_FULL);
    };
    ExpectEnd(Run(), 4, DISK_FULL);
    EXPECT_EQ(ReadBytes(Library()), older);
    EXPECT_EQ(Cache(), InstalledOnly());

    // Room again.
    setup.decide = nullptr;
    const LaunchResult r = Run();
    ExpectRuns(r);
    EXPECT_EQ(ReadBytes(Library()), package->runtime);
    EXPECT_EQ(Cache(), InstalledOnly());
}

// ---- holds --------------------------------------------------------------------------------------

enum class Before { Nothing, Stale, OlderVersion };

struct HoldCase {
    const char* name;
    Before before;
    bool removal;  // setting 6 "Y": the run removes what it installed
    PlatOp op;
    const char16_t* suffix;
    uint32_t error;
    // A hold that lasts: the code (4: with the in-use message) and what stays.
    int lastingCode;
    std::set<std::string> lastingCache;
};

// A hold that clears after two tries costs 10 + 20 ms; one that lasts, the whole 250 ms.
TEST_F(CacheRecovery, AShortHoldIsWaitedOutALastingOneKeepsItsOutcome) {
    const std::set<std::string> emptyVersion = {"Vorlane Runtime", "Vorlane Runtime/202600"};
    const std::set<std::string> installed = InstalledOnly();
    std::set<std::string> withOlder = installed;
    withOlder.insert({"Vorlane Runtime/202500", "Vorlane Runtime/202500/old.dll"});

    const HoldCase cases[] = {
        {"new file's creation, sharing", Before::Nothing, false, PlatOp::CreateFileAt, u".new",
         ERROR_SHARING_VIOLATION, 4, emptyVersion},
        {"new file's creation, access", Before::Nothing, false, PlatOp::CreateFileAt, u".new", ERROR_ACCESS_DENIED,
         4, emptyVersion},
        {"rename over a stale library", Before::Stale, false, PlatOp::RenameByHandle, u".new", ERROR_ACCESS_DENIED,
         4, installed},
        {"library's removal after the run", Before::Nothing, true, PlatOp::DeleteByHandle, u"\\VorlaneStub.dll",
         ERROR_SHARING_VIOLATION, 0, installed},
        {"version folder's removal after the run", Before::Nothing, true, PlatOp::DeleteByHandle, u"\\202600",
         ERROR_ACCESS_DENIED, 0, emptyVersion},
        {"older version folder's open for removal", Before::OlderVersion, false, PlatOp::CreateFileAt, u"\\202500",
         ERROR_SHARING_VIOLATION, 0, withOlder},
        {"older version folder's removal", Before::OlderVersion, false, PlatOp::DeleteByHandle, u"\\202500",
         ERROR_ACCESS_DENIED, 0, {"Vorlane Runtime", "Vorlane Runtime/202600", "Vorlane Runtime/202600/VorlaneStub.dll",
                                  "Vorlane Runtime/202500"}},
        {"file in an older version folder", Before::OlderVersion, false, PlatOp::DeleteByHandle, u"\\old.dll",
         ERROR_SHARING_VIOLATION, 0, withOlder},
    };
    for (const HoldCase& c : cases) {
        for (const bool lasting : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (lasting ? ", lasting" : ", short"));
            Reset();
            if (c.before == Before::Stale) PreInstall(older);
            if (c.before == Before::OlderVersion) {
                PreInstall(package->runtime);
                ASSERT_TRUE(MakeFolders(Root() + "/202500"));
                ASSERT_TRUE(WriteBytes(Root() + "/202500/old.dll", PatternBytes(900, 6)));
            }
            setup.setting6 = std::u16string(c.removal ? u"Y" : u"N");
            setup.decide = Holding(c.op, c.suffix, c.error, lasting ? -1 : 2);
            const LaunchResult r = Run();
            EXPECT_EQ(r.handlesLeaked, 0);
            if (!lasting) {
                ExpectRuns(r);
                EXPECT_EQ(r.sleepRequested, 30u);
                EXPECT_EQ(Cache(), c.removal ? std::set<std::string>() : installed);
                EXPECT_EQ(ReadBytes(Library()), c.removal ? std::vector<uint8_t>() : package->runtime);
                continue;
            }
            EXPECT_EQ(r.sleepRequested, 250u);
            if (c.lastingCode == 4) {
                ExpectEnd(r, 4, IN_USE);
            } else {
                ExpectRuns(r);
            }
            EXPECT_EQ(Cache(), c.lastingCache);
            if (c.before == Before::Stale) EXPECT_EQ(ReadBytes(Library()), older);
        }
    }
}

// One budget for every wait of a start: twenty older version folders another
// program holds cost 250 ms of waiting in all, not 250 ms each, however the
// waits fall on the installation, the purge and the after-run removal; once
// it is spent, every entry is still tried once.
TEST_F(CacheRecovery, EveryWaitOfAStartComesOutOfOneBudget) {
    struct Case {
        const char* name;
        Before before;
        bool removal;
        LaunchDecider hold;  // besides the twenty held folders
    };
    const Case cases[] = {
        {"the purge alone", Before::Stale, false, nullptr},
        {"a short hold on the rename first", Before::Stale, false,
         Holding(PlatOp::RenameByHandle, u".new", ERROR_ACCESS_DENIED, 2)},
        {"a lasting hold on the after-run removal too", Before::Nothing, true,
         Holding(PlatOp::DeleteByHandle, u"\\VorlaneStub.dll", ERROR_SHARING_VIOLATION, -1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        if (c.before == Before::Stale) PreInstall(older);
        std::vector<std::string> held, unheld;
        for (int i = 0; i < 20; ++i) held.push_back(Root() + "/" + std::to_string(1000 + i));
        for (int i = 0; i < 5; ++i) unheld.push_back(Root() + "/" + std::to_string(2000 + i));
        std::vector<OwnedFile> holds;
        for (const std::string& folder : held) {
            ASSERT_TRUE(MakeFolders(folder));
            ASSERT_TRUE(WriteBytes(folder + "/part.bin", {1}));
            // Without delete sharing, as a running older launcher holds its library.
            holds.emplace_back(PlatCreateFile(PosixWidePath(folder + "/part.bin").c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
            ASSERT_TRUE(holds.back().Valid());
        }
        for (const std::string& folder : unheld) {
            ASSERT_TRUE(MakeFolders(folder));
            ASSERT_TRUE(WriteBytes(folder + "/part.bin", {2}));
        }
        setup.setting6 = std::u16string(c.removal ? u"Y" : u"N");
        setup.decide = c.hold;
        const LaunchResult r = Run();
        holds.clear();
        ExpectRuns(r);
        EXPECT_EQ(r.sleepRequested, 250u);
        for (const std::string& folder : held) EXPECT_TRUE(PathExists(folder + "/part.bin")) << folder;
        for (const std::string& folder : unheld) EXPECT_FALSE(PathExists(folder)) << folder;
    }
}

// Real holders, as the backend enforces share modes: each lets go during the back-off.
TEST_F(CacheRecovery, AHolderThatLetsGoDuringTheWaitsIsWaitedFor) {
    PlatFile held = PLAT_INVALID_HANDLE;
    const auto release = [&held](int atSleep) {
        return [&held, atSleep](PlatOp op, const char16_t*, uint64_t nth) {
            if (op == PlatOp::Sleep && nth == static_cast<uint64_t>(atSleep) && held != PLAT_INVALID_HANDLE) {
                PlatCloseHandle(held);
                held = PLAT_INVALID_HANDLE;
            }
            return FaultAction{};
        };
    };

    // A stale library read by someone who keeps writers out.
    PreInstall(older);
    held = PlatCreateFile(PosixWidePath(Library()).c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(held, PLAT_INVALID_HANDLE);
    setup.decide = release(2);
    LaunchResult r = Run();
    ExpectRuns(r);
    EXPECT_EQ(r.sleepRequested, 30u);
    EXPECT_EQ(ReadBytes(Library()), package->runtime);
    EXPECT_EQ(Cache(), InstalledOnly());

    // A file in an older version folder, held without delete sharing.
    ASSERT_TRUE(MakeFolders(Root() + "/202500"));
    ASSERT_TRUE(WriteBytes(Root() + "/202500/old.dll", PatternBytes(900, 6)));
    held = PlatCreateFile(PosixWidePath(Root() + "/202500/old.dll").c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_NE(held, PLAT_INVALID_HANDLE);
    setup.decide = release(1);
    r = Run();
    ExpectRuns(r);
    EXPECT_EQ(r.sleepRequested, 10u);
    EXPECT_EQ(Cache(), InstalledOnly());
    EXPECT_EQ(PosixOpenHandleCount(), 0u);
}

}  // namespace
