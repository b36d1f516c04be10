// Starts killed at every platform call. A child process runs the start and
// kills itself (SIGKILL, no clean-up of any kind) right before its n-th
// platform call takes effect. Whatever that left: the library's name holds
// nothing, what it held before, or the archive's whole copy; the next clean
// start runs the archive's copy with the right arguments, rewrites the library
// at most once and leaves only the current version folder and its library
// (where setting 6 removes what it installed, nothing it created); and the
// start after that writes nothing.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "launcher/build_config.h"
#include "platform/sim_control.h"
#include "tests/support/launch_fixture.h"
#include "tests/support/package.h"
#include "tests/support/temp_dir.h"

namespace {

enum class Start { First, Stale, PinnedStale, Purge, Removal };

struct StartKind {
    Start start;
    const char* name;
};

const StartKind STARTS[] = {
    {Start::First, "first start"},
    {Start::Stale, "stale library rewritten"},
    {Start::PinnedStale, "pinned launcher, another build refused and rewritten"},
    {Start::Purge, "older versions purged"},
    {Start::Removal, "after-run removal"},
};

// Operations that change the cache; a start over a cache in place calls none.
const PlatOp WRITING_OPS[] = {PlatOp::WriteFile,        PlatOp::SetEndOfFile, PlatOp::SetHandleAttributes,
                              PlatOp::DeleteByHandle,   PlatOp::RenameByHandle, PlatOp::CreateDirectory};

class KillSweep : public ::testing::Test {
protected:
    ScratchFolder dir;
    LaunchPackage good;
    std::vector<uint8_t> older;  // another build: loads and runs, other content
    std::string appData;
    std::string outside;

    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        std::string error;
        ASSERT_TRUE(BuildLaunchPackage(VORLANE_BINARY_DIR, dir.Native("pkg"), "app.exe", RuntimeKind::Recording, 3000,
                                       &good, &error))
            << error;
        older = good.runtime;
        older.resize(older.size() + 64, 0xEE);
        appData = dir.Native("local");
        outside = dir.Native("outside");
        ASSERT_TRUE(MakeFolders(outside));
        ASSERT_TRUE(WriteBytes(outside + "/keep.txt", {'k'}));
    }

    std::string Root() const { return RuntimeRootOf(appData); }
    std::string Library() const { return LibraryOf(appData); }

    // The cache as the start finds it.
    void Prepare(Start start) {
        ASSERT_TRUE(RemoveNativeTree(appData));
        ASSERT_TRUE(MakeFolders(appData));
        if (start == Start::First || start == Start::Removal) return;
        ASSERT_TRUE(MakeFolders(RuntimeDirOf(appData)));
        ASSERT_TRUE(WriteBytes(Library(), start == Start::Stale || start == Start::PinnedStale ? older : good.runtime));
        if (start == Start::Purge) {
            ASSERT_TRUE(MakeFolders(Root() + "/202500/sub"));
            ASSERT_TRUE(WriteBytes(Root() + "/202500/VorlaneStub.dll", PatternBytes(900, 6)));
            ASSERT_TRUE(WriteBytes(Root() + "/202500/sub/.hidden", {1, 2}));
            ASSERT_EQ(symlink(outside.c_str(), (Root() + "/202500/escape").c_str()), 0);
            ASSERT_TRUE(MakeFolders(Root() + "/17"));
            ASSERT_EQ(symlink(outside.c_str(), (Root() + "/100").c_str()), 0);
            ASSERT_TRUE(WriteBytes(RuntimeDirOf(appData) + "/VorlaneStub.dll.4242.new", PatternBytes(300, 9)));
        }
    }

    LaunchSetup SetupOf(Start start) const {
        LaunchSetup setup;
        setup.modulePath = PosixWidePath(good.path);
        setup.localAppData = PosixWidePath(appData);
        setup.commandLine = u"app.exe one \"two three\"";
        setup.setting6 = std::u16string(start == Start::Removal ? u"Y" : u"N");
        setup.expectedLibrary = &good.runtime;
        setup.recordPath = dir.Native("record.txt");
        // The pin leaves a library in place to the check, which refuses another build.
        if (start == Start::PinnedStale) setup.pin = PinTextOf(good.runtime);
        return setup;
    }

    // Runs the start in a child that kills itself right before its call
    // number `at` (1-based, all operations together). True when it died so.
    bool RunKilledAt(Start start, uint64_t at) {
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            LaunchSetup setup = SetupOf(start);
            uint64_t calls = 0;
            setup.decide = [&calls, at](PlatOp, const char16_t*, uint64_t) {
                if (++calls == at) raise(SIGKILL);
                return FaultAction{};
            };
            RunLaunch(setup);
            _exit(0);  // the run ended before the call: nothing of the parent's may run here
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child) return false;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

    // A clean start after the kill, and one after that; before: what the
    // library held before the killed start, if anything. Returns the problems found.
    std::string Recover(Start start, const std::vector<uint8_t>* before) {
        std::string problems;
        auto problem = [&problems](const std::string& text) { problems += text + "; "; };

        // The library's name never holds a partial file.
        if (PathExists(Library())) {
            const std::vector<uint8_t> found = ReadBytes(Library());
            if (found != good.runtime && (before == nullptr || found != *before)) {
                problem("the kill left " + std::to_string(found.size()) + " bytes of another content at the library");
            }
        }

        const bool libraryThere = PathExists(Library());
        const bool rootThere = PathExists(Root());
        const LaunchResult r = RunLaunch(SetupOf(start));
        const auto at = [&r](const char* key) {
            const auto found = r.record.find(key);
            return found != r.record.end() ? found->second : std::string("<missing>");
        };
        if (r.exitCode != 0 || !r.boxes.empty()) {
            problem("the next start ended with " + std::to_string(r.exitCode) +
                    (r.boxes.empty() ? "" : " \"" + Utf16ToUtf8(r.boxes[0].text) + "\""));
        }
        if (!r.runtimeCalled || r.lastLoaded != good.runtime || !r.loadsSawExpected) {
            problem("the next start did not run the archive's copy");
        } else if (at("module_path") != Utf16ToUtf8(PosixWidePath(good.path)) ||
                   at("payload_offset") != std::to_string(good.payloadOffset) ||
                   at("payload_size") != std::to_string(good.payload.size()) || at("first_argument") != "one" ||
                   at("argument_line") != "one \"two three\"" || at("setting4") != "FALSE" || at("setting5") != "NO") {
            problem("the runtime got wrong arguments");
        }
        if (r.Calls(PlatOp::RenameByHandle) > 1) problem("the library was written more than once");
        if (r.handlesLeaked != 0 || r.heapLeaked != 0) problem("the next start leaked");
        if (ReadBytes(outside + "/keep.txt") != std::vector<uint8_t>{'k'}) problem("a file outside the cache went");

        // What the cache holds now: the library in its folder, or, where setting
        // 6 removed what the start installed, only a root that stood before it.
        std::set<std::string> expected;
        if (start != Start::Removal || libraryThere) {
            expected = {"Vorlane Runtime", "Vorlane Runtime/202600", "Vorlane Runtime/202600/VorlaneStub.dll"};
        } else if (rootThere) {
            expected = {"Vorlane Runtime"};
        }
        std::set<std::string> found;
        for (const auto& entry : TreeBelow(appData)) found.insert(entry.first);
        if (found != expected) {
            std::string list;
            for (const std::string& name : found) list += " " + name;
            problem("the cache holds:" + list);
        }
        if (expected.size() == 3 && ReadBytes(Library()) != good.runtime) problem("the library is not the archive's");

        // A start over what is left: it runs, and over a cache in place it writes nothing.
        const bool inPlace = PathExists(Library());
        const std::map<std::string, std::string> tree = TreeBelow(appData);
        const LaunchResult third = RunLaunch(SetupOf(start));
        if (third.exitCode != 0 || !third.runtimeCalled) problem("the third start did not run");
        if (TreeBelow(appData) != tree) problem("the third start changed the cache");
        for (const PlatOp op : WRITING_OPS) {
            if (inPlace && third.Calls(op) != 0) problem(std::string("the third start called ") + PlatOpName(op));
        }
        return problems;
    }
};

TEST_F(KillSweep, AStartKilledAtAnyPlatformCallLeavesACacheTheNextStartRunsFrom) {
    const auto began = std::chrono::steady_clock::now();
    size_t tried = 0;
    size_t recovered = 0;
    size_t failures = 0;
    std::string perStart;

    for (const StartKind& kind : STARTS) {
        SCOPED_TRACE(kind.name);
        // The calls of an undisturbed start, and where its after-run removal begins:
        // after the last release of the loaded runtime.
        Prepare(kind.start);
        const bool hadLibrary = PathExists(Library());
        const std::vector<uint8_t> before = hadLibrary ? ReadBytes(Library()) : std::vector<uint8_t>();
        LaunchSetup counting = SetupOf(kind.start);
        uint64_t calls = 0;
        uint64_t removalFrom = 0;
        counting.decide = [&calls, &removalFrom](PlatOp op, const char16_t*, uint64_t) {
            ++calls;
            if (op == PlatOp::FreeLibrary) removalFrom = calls + 1;
            return FaultAction{};
        };
        const LaunchResult plain = RunLaunch(counting);
        ASSERT_EQ(plain.exitCode, 0);
        ASSERT_TRUE(plain.runtimeCalled);
        const uint64_t first = kind.start == Start::Removal ? removalFrom : 1;
        ASSERT_GT(first, 0u);
        ASSERT_LE(first, calls);

        size_t here = 0;
        for (uint64_t at = first; at <= calls; ++at) {
            Prepare(kind.start);
            ++tried;
            ++here;
            std::string problems;
            if (!RunKilledAt(kind.start, at)) problems = "the child was not killed at that call; ";
            problems += Recover(kind.start, hadLibrary ? &before : nullptr);
            if (problems.empty()) {
                ++recovered;
            } else {
                ADD_FAILURE() << kind.name << ", killed at call " << at << " of " << calls << ": " << problems;
                if (++failures > 20) FAIL() << "too many failures, stopping";
            }
        }
        perStart += std::string(perStart.empty() ? "" : ", ") + kind.name + " " + std::to_string(here);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("kill sweep: %zu kill points (%s), every call of each; %zu recovered, in %.1f s\n", tried,
                perStart.c_str(), recovered, seconds);
    EXPECT_EQ(recovered, tried);
}

}  // namespace
