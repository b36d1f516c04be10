// Every platform call and every heap allocation of whole launch runs, failed
// one at a time: each run must end with one of the known (code, message) pairs, must
// never call the runtime unless the payload was verified and the library
// passed its check holding the archive's content, must leak nothing, and must
// leave a cache from which the next clean start runs the right library.
#include <gtest/gtest.h>

#include <execinfo.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "launcher/build_config.h"
#include "platform/sim_control.h"
#include "tests/support/launch_fixture.h"
#include "tests/support/package.h"
#include "tests/support/temp_dir.h"

namespace {

// ---- what a run may end with ----------------------------------------------------------

struct Outcome {
    int code;
    const char* message;  // a regular expression over the whole text; null: no box
};

const Outcome OUTCOMES[] = {
    {0, nullptr},
    {-1, "Cannot resolve own module path"},
    {-1, "Error opening EXE"},
    {-2, "Cannot determine EXE size"},
    {1, "7z archive not found"},
    {-4, nullptr},
    {1, "Memory allocation error"},
    {2, "SzArEx_Open error: ([1-9]|1[0-7])"},
    {3, "Vorlane\\.Bin not found"},
    {3, "Vorlane\\.Bin offset out of range"},
    {3, "Vorlane\\.Bin CRC error"},
    {-3, "Failed to create output directory"},
    {-3, nullptr},
    {4, "Cannot update VorlaneStub\\.dll: file is in use and has a different CRC\\."},
    {4, "Memory allocation error"},  // an entry name during the installation
    {4, "Cannot update VorlaneStub\\.dll: file is in use\\."},
    {4, "Failed to write VorlaneStub\\.dll \\(error [1-9][0-9]*\\)\\."},
    {5, "Cannot check VorlaneStub\\.dll: the file cannot be opened \\(error [1-9][0-9]*\\)\\."},
    {5, "Cannot check VorlaneStub\\.dll: the file cannot be read \\(error [1-9][0-9]*\\)\\."},
    {5, "Cannot check VorlaneStub\\.dll: the file cannot be identified \\(error [1-9][0-9]*\\)\\."},
    {5, "Cannot check VorlaneStub\\.dll: the system's trust services cannot be loaded \\(error [1-9][0-9]*\\)\\."},
    {5, "The installed VorlaneStub\\.dll is not this application's copy\\."},
    {5, "VorlaneStub\\.dll is not the runtime this application was packed with \\(digest sha256:[0-9a-f]{64}\\)\\."},
    {5, "Cannot check VorlaneStub\\.dll: this application names no publisher\\."},
    {5, "VorlaneStub\\.dll cannot be loaded safely on this system: install the Windows update KB2533623\\."},
    {5, "VorlaneStub\\.dll is not signed\\."},
    {5, "VorlaneStub\\.dll has an invalid signature \\(0x[0-9A-F]{8}\\)\\."},
    {5, "VorlaneStub\\.dll is signed by .+, whose certificate is not trusted \\(0x[0-9A-F]{8}\\)\\."},
    {5, "VorlaneStub\\.dll is signed by .+, expected .+\\."},
    {5, "Cannot load VorlaneStub\\.dll: its final path cannot be read \\(error [1-9][0-9]*\\)\\."},
    {5, "Cannot load VorlaneStub\\.dll: the file it mapped cannot be compared with the one checked \\(error [1-9][0-9]*\\)\\."},
    {6, "Failed to load VorlaneStub DLL"},
    {6, nullptr},
    {8, "Cannot use the runtime cache safely: a name in its path ends in a dot or a space, and Windows would open "
        "other files by it: .+"},
};

// Whether (code, boxes) is one of the known ends. A failed MessageBox call shows nothing.
bool KnownEnd(int code, const std::vector<std::u16string>& messages, bool boxFaulted) {
    if (messages.size() > 1) return false;
    for (const Outcome& o : OUTCOMES) {
        if (o.code != code) continue;
        if (messages.empty() && (o.message == nullptr || boxFaulted)) return true;
        if (!messages.empty() && o.message != nullptr &&
            std::regex_match(Utf16ToUtf8(messages[0]), std::regex(o.message))) {
            return true;
        }
    }
    return false;
}

// ---- how each operation fails ----------------------------------------------------------------

FaultAction Fail(uint32_t error) { return FaultAction{FaultAction::Fail, error, 0}; }
FaultAction Short(uint32_t bytes) { return FaultAction{FaultAction::Short, 0, bytes}; }

// Plausible failures per operation. Releases (CloseHandle, FindClose,
// FreeLibrary) are not failed: on a valid handle they have no cause, and the
// backend would keep the object open, which is no leak of the launcher's.
std::vector<FaultAction> FailuresOf(PlatOp op) {
    switch (op) {
        case PlatOp::HeapAlloc: return {Fail(ERROR_NOT_ENOUGH_MEMORY)};
        case PlatOp::SetDefaultDllDirectories: return {Fail(ERROR_INVALID_PARAMETER)};
        case PlatOp::GetModuleFileName: return {Fail(ERROR_NOT_ENOUGH_MEMORY)};
        case PlatOp::CreateFile:
        case PlatOp::CreateFileAt:
            return {Fail(ERROR_FILE_NOT_FOUND), Fail(ERROR_ACCESS_DENIED), Fail(ERROR_SHARING_VIOLATION)};
        case PlatOp::ReadFile: return {Fail(ERROR_READ_FAULT), Short(0), Short(7)};
        case PlatOp::WriteFile: return {Fail(ERROR_DISK_FULL), Short(0), Short(7)};
        case PlatOp::SetFilePointer: return {Fail(ERROR_INVALID_PARAMETER)};
        case PlatOp::GetFileSizeEx: return {Fail(ERROR_ACCESS_DENIED)};
        case PlatOp::SetEndOfFile: return {Fail(ERROR_DISK_FULL)};
        case PlatOp::GetHandleAttributes: return {Fail(ERROR_ACCESS_DENIED)};
        case PlatOp::SetHandleAttributes: return {Fail(ERROR_ACCESS_DENIED)};
        case PlatOp::DeleteByHandle: return {Fail(ERROR_ACCESS_DENIED), Fail(ERROR_DIR_NOT_EMPTY)};
        case PlatOp::GetFileAttributes: return {Fail(ERROR_ACCESS_DENIED), Fail(ERROR_FILE_NOT_FOUND)};
        case PlatOp::CreateDirectory:
            return {Fail(ERROR_ACCESS_DENIED), Fail(ERROR_ALREADY_EXISTS), Fail(ERROR_DISK_FULL)};
        case PlatOp::FindFirstFileAt: return {Fail(ERROR_ACCESS_DENIED), Fail(ERROR_PATH_NOT_FOUND)};
        case PlatOp::FindNextFile: return {Fail(ERROR_NO_MORE_FILES)};
        case PlatOp::GetLocalAppDataFolder: return {Fail(ERROR_ACCESS_DENIED)};
        case PlatOp::LoadLibraryEx:
            return {Fail(ERROR_MOD_NOT_FOUND), Fail(ERROR_BAD_EXE_FORMAT), Fail(ERROR_ACCESS_DENIED)};
        case PlatOp::GetProcAddress: return {Fail(ERROR_PROC_NOT_FOUND)};
        case PlatOp::CommandLineToArgv: return {Fail(ERROR_NOT_ENOUGH_MEMORY)};
        case PlatOp::MessageBox: return {Fail(ERROR_NOT_ENOUGH_MEMORY)};
        case PlatOp::LoadString: return {Fail(1814)};  // ERROR_RESOURCE_NAME_NOT_FOUND
        case PlatOp::VerifyTrust: return {Fail(PLAT_TRUST_NOSIGNATURE), Fail(PLAT_TRUST_BAD_DIGEST)};
        case PlatOp::GetFileId: return {Fail(ERROR_ACCESS_DENIED)};
        case PlatOp::LoadTrustServices: return {Fail(ERROR_MOD_NOT_FOUND)};
        case PlatOp::CreateFolderAt: return {Fail(ERROR_ACCESS_DENIED), Fail(ERROR_SHARING_VIOLATION)};
        case PlatOp::GetLinkCount: return {Fail(ERROR_ACCESS_DENIED)};
        case PlatOp::RenameByHandle: return {Fail(ERROR_ACCESS_DENIED), Fail(ERROR_SHARING_VIOLATION)};
        case PlatOp::GetFinalPath: return {Fail(ERROR_PATH_NOT_FOUND)};
        case PlatOp::OpenMappedFile: return {Fail(ERROR_ACCESS_DENIED), Fail(ERROR_FILE_NOT_FOUND)};
        case PlatOp::CloseHandle:
        case PlatOp::FindClose:
        case PlatOp::FreeLibrary:
        case PlatOp::Sleep:  // a wait cannot fail
        case PlatOp::Count: break;
    }
    return {};
}

// ---- call sites -------------------------------------------------------------------------------

// A call site is the chain of return addresses from the launcher's entry to
// the call (this file's own two frames left out).
using Site = std::vector<uintptr_t>;

__attribute__((noinline)) Site HereSite() {
    void* frames[256];
    const int n = backtrace(frames, 256);
    const int inner = n - LaunchOuterFrames() + 1;
    Site site;
    for (int i = 2; i < inner && i < n; ++i) site.push_back(reinterpret_cast<uintptr_t>(frames[i]));
    return site;
}

// One decider for counting and failing runs alike, so both see the same frames.
struct Probe {
    bool counting = true;
    std::vector<std::vector<Site>> sites = std::vector<std::vector<Site>>(static_cast<size_t>(PlatOp::Count));
    PlatOp op = PlatOp::Count;
    uint64_t n = 0;
    FaultAction failure{};
    Site hit;

    __attribute__((noinline)) FaultAction Decide(PlatOp callOp, uint64_t nth) {
        if (!counting && (callOp != op || nth != n)) return FaultAction{};
        Site site = HereSite();
        if (counting) {
            sites[static_cast<size_t>(callOp)].push_back(std::move(site));
            return FaultAction{};
        }
        hit = std::move(site);
        return failure;
    }
};

struct SiteKey {
    PlatOp op;
    Site site;
    bool operator<(const SiteKey& other) const {
        if (op != other.op) return op < other.op;
        return site < other.site;
    }
};

// ---- scenarios ----------------------------------------------------------------------------------

enum class Cache { Clean, Current, StaleWithOldVersions };
enum class Holder { None, Reader, Writer };

struct Scenario {
    const char* name = "";
    const LaunchPackage* package = nullptr;
    std::string modulePath;         // native; empty: the package
    Cache cache = Cache::Clean;
    Holder holder = Holder::None;
    uint32_t trust = PLAT_TRUST_OK;
    bool setting4 = true;
    bool appDataFails = false;
    bool appDataTrimmed = false;    // the local app data folder's value names "x." in "\\?\" form
    bool longModulePath = false;
    bool pinned = false;            // the launcher carries the packed library's pin
    bool runtimeMayRun = false;     // only a sound package with a trusted library may reach the runtime
    int expectedCode = 0;           // of the run without faults
};

Scenario Named(const char* name, const LaunchPackage* package, const std::string& modulePath = "") {
    Scenario s;
    s.name = name;
    s.package = package;
    s.modulePath = modulePath;
    return s;
}

class FaultSweep : public ::testing::Test {
protected:
    // Every run's command line, and the arguments the runtime must be handed from it.
    static constexpr const char16_t* COMMAND_LINE = u"app.exe one \"two three\"";
    static constexpr const char* FIRST_ARGUMENT = "one";
    static constexpr const char* ARGUMENT_LINE = "one \"two three\"";

    ScratchFolder dir;
    LaunchPackage good;
    LaunchPackage noExport;
    std::vector<uint8_t> older;  // another build of the runtime: loads and runs, other content
    std::string appData;
    std::string record;
    std::string outside;
    PlatFile held = PLAT_INVALID_HANDLE;

    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        std::string error;
        ASSERT_TRUE(BuildLaunchPackage(VORLANE_BINARY_DIR, dir.Native("pkg"), "app.exe", RuntimeKind::Recording, 3000,
                                       &good, &error))
            << error;
        ASSERT_TRUE(BuildLaunchPackage(VORLANE_BINARY_DIR, dir.Native("pkg"), "noexport.exe", RuntimeKind::NoExport,
                                       3000, &noExport, &error))
            << error;
        older = good.runtime;
        older.resize(older.size() + 64, 0xEE);
        appData = dir.Native("local");
        record = dir.Native("record.txt");
        outside = dir.Native("outside");
        ASSERT_TRUE(MakeFolders(outside));
        ASSERT_TRUE(WriteBytes(outside + "/keep.txt", {'k'}));
    }
    void TearDown() override { CloseHeld(); }

    void CloseHeld() {
        if (held != PLAT_INVALID_HANDLE) PlatCloseHandle(held);
        held = PLAT_INVALID_HANDLE;
    }

    // The cache as the scenario wants it before each run.
    void Prepare(const Scenario& s) {
        CloseHeld();
        ASSERT_TRUE(RemoveNativeTree(appData));
        ASSERT_TRUE(MakeFolders(appData));
        if (s.appDataTrimmed) ASSERT_TRUE(MakeFolders(appData + "/x."));
        if (s.cache == Cache::Clean) return;
        ASSERT_TRUE(MakeFolders(RuntimeDirOf(appData)));
        ASSERT_TRUE(WriteBytes(LibraryOf(appData), s.cache == Cache::Current ? good.runtime : older));
        if (s.cache == Cache::StaleWithOldVersions) {
            const std::string root = RuntimeRootOf(appData);
            ASSERT_TRUE(MakeFolders(root + "/202500/sub"));
            ASSERT_TRUE(WriteBytes(root + "/202500/VorlaneStub.dll", PatternBytes(900, 6)));
            ASSERT_TRUE(WriteBytes(root + "/202500/sub/.hidden", {1, 2}));
            ASSERT_TRUE(MakeFolders(root + "/17"));
            // Links into a folder outside the cache: removed as links, never entered.
            ASSERT_EQ(symlink(outside.c_str(), (root + "/100").c_str()), 0);
            ASSERT_EQ(symlink(outside.c_str(), (root + "/202500/escape").c_str()), 0);
        }
        if (s.holder != Holder::None) {
            const uint32_t access = s.holder == Holder::Reader ? GENERIC_READ : GENERIC_WRITE;
            held = PlatCreateFile(PosixWidePath(LibraryOf(appData)).c_str(), access, FILE_SHARE_READ, OPEN_EXISTING, 0);
            ASSERT_NE(held, PLAT_INVALID_HANDLE);
        }
    }

    LaunchSetup SetupOf(const Scenario& s) const {
        LaunchSetup setup;
        const std::string module = !s.modulePath.empty() ? s.modulePath : s.package->path;
        setup.modulePath = s.longModulePath ? u"Z:\\" + std::u16string(2045, u'm') : PosixWidePath(module);
        setup.localAppData = PosixWidePath(appData);
        if (s.appDataFails) setup.localAppDataResult = static_cast<int32_t>(0x80004005u);
        if (s.appDataTrimmed) setup.localAppData = u"\\\\?\\" + PosixWidePath(appData + "/x.");
        setup.commandLine = COMMAND_LINE;
        setup.trust = s.trust;
        if (!s.setting4) setup.setting4.reset();
        if (s.pinned) setup.pin = PinTextOf(good.runtime);
        setup.expectedLibrary = &good.runtime;
        setup.recordPath = record;
        return setup;
    }

    // Everything a run must satisfy, faulted or not (faulted: the operation
    // failed, PlatOp::Count for none). Returns the failures as text.
    std::string Judge(const Scenario& s, const LaunchResult& r, PlatOp faulted) {
        const bool boxFaulted = faulted == PlatOp::MessageBox;
        std::string problems;
        auto problem = [&problems](const std::string& text) { problems += text + "; "; };
        const std::vector<std::u16string> messages = r.Messages();
        if (!KnownEnd(r.exitCode, messages, boxFaulted)) {
            problem("unknown end " + std::to_string(r.exitCode) + " \"" +
                    (messages.empty() ? std::string() : Utf16ToUtf8(messages[0])) + "\"");
        }
        for (const PosixMessageBox& box : r.boxes) {
            if (box.caption != u"Error" || box.style != MB_ICONERROR) problem("box without caption Error / stop icon");
        }
        if (r.handlesLeaked != 0) problem("leaked " + std::to_string(r.handlesLeaked) + " handles");
        if (r.heapLeaked != 0) problem("leaked " + std::to_string(r.heapLeaked) + " heap blocks");
        if (r.localLeaked != 0) problem("leaked " + std::to_string(r.localLeaked) + " argument arrays");
        // 0 is a normal end only: the runtime ran.
        if ((r.exitCode == 0) != r.runtimeCalled) problem("exit 0 without the runtime, or the runtime with an error");

        // Only the archive's copy, checked, ever runs: also when the archive's
        // copy cannot be decoded and another build stands at the path.
        if (r.runtimeCalled) {
            if (!s.runtimeMayRun) problem("the runtime ran in a scenario that must never reach it");
            if (VORLANE_VERIFY_SIGNATURE && !r.trustPassed) problem("the runtime ran without a passed check");
            if (r.loads < 1 || !r.loadsSawExpected || r.lastLoaded != good.runtime) {
                problem("the runtime ran from a library without the archive's content");
            }
            const auto at = [&r](const char* key) {
                const auto found = r.record.find(key);
                return found != r.record.end() ? found->second : std::string("<missing>");
            };
            if (at("payload_offset") != std::to_string(good.payloadOffset) ||
                at("payload_size") != std::to_string(good.payload.size())) {
                problem("wrong payload location " + at("payload_offset") + "+" + at("payload_size"));
            }
            if (at("module_path") != Utf16ToUtf8(PosixWidePath(good.path))) problem("wrong module path");
            char instance[32];
            std::snprintf(instance, sizeof instance, "%p", static_cast<void*>(LAUNCH_INSTANCE));
            if (at("instance") != instance) problem("wrong instance " + at("instance"));
            const LaunchSetup setup = SetupOf(s);
            if (at("setting4") != Utf16ToUtf8(setup.setting4.value_or(u"")) ||
                at("setting5") != Utf16ToUtf8(setup.setting5.value_or(u""))) {
                problem("wrong settings " + at("setting4") + ", " + at("setting5"));
            }
            // A failed split runs the application without arguments, and a failed
            // allocation of the rebuilt line with an empty one: the design allows
            // both. Any other fault must leave the arguments as they were given.
            const bool noSplit = faulted == PlatOp::CommandLineToArgv;
            const bool lineMayGo = noSplit || faulted == PlatOp::HeapAlloc;
            if (at("first_argument") != (noSplit ? "" : FIRST_ARGUMENT)) {
                problem("wrong first argument \"" + at("first_argument") + "\"");
            }
            if (at("argument_line") != ARGUMENT_LINE && !(lineMayGo && at("argument_line").empty())) {
                problem("wrong argument line \"" + at("argument_line") + "\"");
            }
        }
        if (!r.loadsSawExpected && s.package == &good) problem("a load found other content");
        if (ReadBytes(outside + "/keep.txt") != std::vector<uint8_t>{'k'}) problem("a file outside the cache went");
        return problems;
    }

    // The next start without faults must run the archive's library.
    std::string FollowUp() {
        CloseHeld();
        Scenario clean = Named("follow-up", &good);
        clean.runtimeMayRun = true;
        const LaunchResult r = RunLaunch(SetupOf(clean));
        std::string problems = Judge(clean, r, PlatOp::Count);
        if (r.exitCode != 0 || !r.runtimeCalled || !r.loadsSawExpected) {
            problems += "the next clean start did not run the archive's library; ";
        }
        return problems;
    }
};

TEST_F(FaultSweep, EveryPlatformCallAndAllocationFailedInTurnEndsWithAKnownCodeAndMessage) {
    const auto started = std::chrono::steady_clock::now();
    const std::string flippedPayload = dir.Native("pkg/flipped-payload.exe");
    const std::string flippedHeader = dir.Native("pkg/flipped-header.exe");
    ASSERT_TRUE(WriteFlippedCopy(good, good.payloadOffset + 100, flippedPayload));
    ASSERT_TRUE(WriteFlippedCopy(good, ReadBytes(good.path).size() - 5, flippedHeader));

    std::vector<Scenario> scenarios;
    {
        Scenario s = Named("first start", &good);
        s.runtimeMayRun = true;
        scenarios.push_back(s);
        s.name = "second start, library current";
        s.cache = Cache::Current;
        scenarios.push_back(s);
        s.name = "library stale, older versions to purge";
        s.cache = Cache::StaleWithOldVersions;
        scenarios.push_back(s);
        // Pinned: a library in place is left to the check, another build is refused and rewritten.
        s.pinned = true;
        s.name = "pinned, library stale, older versions to purge";
        scenarios.push_back(s);
        s.name = "pinned, library current";
        s.cache = Cache::Current;
        scenarios.push_back(s);
        s.pinned = false;
        s.cache = Cache::StaleWithOldVersions;
        s.name = "library stale and loaded by another copy";
        s.holder = Holder::Reader;
        s.expectedCode = 4;
        s.runtimeMayRun = false;
        scenarios.push_back(s);
        s.name = "library stale and being written by another copy";
        s.holder = Holder::Writer;
        scenarios.push_back(s);
    }
    {
        Scenario s = Named("signature refused", &good);
        s.trust = PLAT_TRUST_UNTRUSTED_ROOT;
        s.expectedCode = VORLANE_VERIFY_SIGNATURE ? 5 : 0;
        s.runtimeMayRun = !VORLANE_VERIFY_SIGNATURE;
        scenarios.push_back(s);
        s = Named("runtime without its export", &noExport);
        s.expectedCode = 6;
        scenarios.push_back(s);
        s = Named("setting 4 missing", &good);
        s.setting4 = false;
        s.expectedCode = 6;
        scenarios.push_back(s);
        s = Named("payload damaged", &good, flippedPayload);
        s.expectedCode = 3;
        scenarios.push_back(s);
        s = Named("archive header damaged", &good, flippedHeader);
        s.expectedCode = 2;
        scenarios.push_back(s);
        s = Named("no archive", &good, good.imagePath);
        s.expectedCode = 1;
        scenarios.push_back(s);
        s = Named("no local app data", &good);
        s.appDataFails = true;
        s.expectedCode = -3;
        scenarios.push_back(s);
        s = Named("local app data named with a trailing dot", &good);
        s.appDataTrimmed = true;
        s.expectedCode = 8;
        scenarios.push_back(s);
        s = Named("own path too long", &good);
        s.longModulePath = true;
        s.expectedCode = -1;
        scenarios.push_back(s);
    }

    std::set<SiteKey> counted;
    std::set<SiteKey> failed;
    size_t runs = 0;
    size_t problems = 0;

    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        Probe probe;
        LaunchSetup setup = SetupOf(s);
        setup.decide = [&probe](PlatOp op, const char16_t*, uint64_t nth) { return probe.Decide(op, nth); };

        // Count the calls of a run without faults, and where each comes from.
        Prepare(s);
        const LaunchResult plain = RunLaunch(setup);
        ++runs;
        ASSERT_EQ(plain.exitCode, s.expectedCode) << Utf16ToUtf8(plain.boxes.empty() ? u"" : plain.boxes[0].text);
        ASSERT_EQ(Judge(s, plain, PlatOp::Count), "");

        probe.counting = false;
        for (int o = 0; o < static_cast<int>(PlatOp::Count); ++o) {
            const PlatOp op = static_cast<PlatOp>(o);
            const std::vector<FaultAction> failures = FailuresOf(op);
            if (failures.empty()) continue;
            for (uint64_t n = 1; n <= plain.Calls(op); ++n) {
                counted.insert(SiteKey{op, probe.sites[static_cast<size_t>(o)][n - 1]});
                for (const FaultAction& failure : failures) {
                    probe.op = op;
                    probe.n = n;
                    probe.failure = failure;
                    probe.hit.clear();
                    Prepare(s);
                    const LaunchResult r = RunLaunch(setup);
                    ++runs;
                    if (!probe.hit.empty()) failed.insert(SiteKey{op, probe.hit});
                    std::string found = Judge(s, r, op);
                    found += FollowUp();
                    ++runs;
                    if (!found.empty()) {
                        ++problems;
                        ADD_FAILURE() << s.name << ": " << PlatOpName(op) << " call " << n << " "
                                      << (failure.kind == FaultAction::Short ? "short " + std::to_string(failure.shortBytes)
                                                                             : "error " + std::to_string(failure.error))
                                      << ": " << found;
                        if (problems > 20) FAIL() << "too many failures, stopping";
                    }
                }
            }
        }
    }
    CloseHeld();

    size_t sitesFailed = 0;
    size_t allocations = 0;
    size_t allocationsFailed = 0;
    for (const SiteKey& key : counted) {
        const bool hit = failed.count(key) != 0;
        sitesFailed += hit ? 1 : 0;
        if (key.op == PlatOp::HeapAlloc) {
            ++allocations;
            allocationsFailed += hit ? 1 : 0;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("fault sweep: %zu scenarios, %zu runs in %.1f s; call sites failed: %zu of %zu, of them heap "
                "allocation sites: %zu of %zu\n",
                scenarios.size(), runs, seconds, sitesFailed, counted.size(), allocationsFailed, allocations);
    EXPECT_EQ(sitesFailed, counted.size());
    EXPECT_GT(allocations, 5u);
}

}  // namespace
