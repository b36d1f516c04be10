// The tools' OS host over POSIX: outputs replace their final file in one step
// and never take an existing name, are unnamed until then where the file
// system allows, an interruption leaves no temporary file and stops the
// running child, what a killed tool left goes only once its owner is gone,
// and files are compared by identity. Signal and kill cases run in a forked
// child, so the handler never touches this process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tools/host/host.h"
#include "tools/host/host_internal.h"
#include "tools/host/output_internal.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder per test, removed with what it holds.
struct Scratch {
    std::string path;
    bool owned = true;
    Scratch() {
        char pattern[] = "/tmp/vorlane-host-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Scratch() {
        if (owned) fs::remove_all(path);
    }
    explicit Scratch(std::string existing) : path(std::move(existing)), owned(false) {}
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

bool Write(ToolOutput* output, const std::string& text) {
    std::string why;
    return ToolWrite(output, reinterpret_cast<const uint8_t*>(text.data()), text.size(), &why);
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs body in a forked child and returns its wait status; a child that hangs
// ends by SIGALRM.
int InChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

// Draws that tests script, to land on names they planted.
std::vector<uint64_t> g_script;
size_t g_next = 0;
uint64_t ScriptedDraw() { return g_script[g_next++ % g_script.size()]; }

struct ScriptedNames {
    explicit ScriptedNames(std::vector<uint64_t> draws) {
        g_script = std::move(draws);
        g_next = 0;
        ToolSetNameDraw(ScriptedDraw);
    }
    ~ScriptedNames() { ToolSetNameDraw(nullptr); }
};

// Outputs named from the start, as where the file system has no unnamed files.
struct NamedOutputs {
    explicit NamedOutputs(bool named) { ToolSetNamedOutputs(named); }
    ~NamedOutputs() { ToolSetNamedOutputs(false); }
};

uint32_t Me() { return static_cast<uint32_t>(getpid()); }

TEST(ToolOutput, CommitReplacesTheFinalFileInOneStepWithTheExecutableMode) {
    Scratch dir;
    const std::string final = dir / "app.exe";
    Put(final, "old package");
    ASSERT_EQ(link(final.c_str(), (dir / "old").c_str()), 0);  // sees whether the old file is written in place

    const mode_t savedMask = umask(022);
    ToolOutput output;
    std::string why;
    ASSERT_TRUE(ToolCreateOutput(final, &output, &why)) << why;
    // Unnamed while written: nothing in the folder shows it, a kill leaves nothing.
    EXPECT_EQ(output.temporary.rfind("/proc/" + std::to_string(getpid()) + "/fd/", 0), 0u) << output.temporary;
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"app.exe", "old"}));
    ASSERT_TRUE(Write(&output, "new package, XXXX header patched later"));
    const std::string patch = "HEAD";
    ASSERT_TRUE(ToolWriteAt(&output, 13, reinterpret_cast<const uint8_t*>(patch.data()), patch.size(), &why)) << why;
    ASSERT_TRUE(Write(&output, "; tail"));
    EXPECT_EQ(Slurp(final), "old package");  // untouched until the commit
    // Finished, it still opens by its temporary path (the check's and a signer's way in), and takes no more writing.
    ASSERT_TRUE(ToolCloseOutput(&output, &why)) << why;
    EXPECT_EQ(Slurp(output.temporary), "new package, HEAD header patched later; tail");
    EXPECT_FALSE(Write(&output, "late"));

    ASSERT_TRUE(ToolCommitOutput(&output, &why)) << why;
    EXPECT_EQ(Slurp(final), "new package, HEAD header patched later; tail");
    EXPECT_EQ(Slurp(dir / "old"), "old package");  // a new file was renamed in, the old one never rewritten
    EXPECT_EQ(ModeOf(final), 0755u);
    EXPECT_TRUE(output.temporary.empty());
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"app.exe", "old"}));

    // The user's umask narrows the mode, as it does for a linker's output.
    umask(077);
    ASSERT_TRUE(ToolCreateOutput(dir / "private.exe", &output, &why)) << why;
    ASSERT_TRUE(ToolCommitOutput(&output, &why)) << why;
    EXPECT_EQ(ModeOf(dir / "private.exe"), 0700u);
    umask(savedMask);
}

TEST(ToolOutput, DiscardAndFailedCommitsLeaveNothing) {
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        NamedOutputs mode(named);
        Scratch dir;
        ToolOutput output;
        std::string why;
        ASSERT_TRUE(ToolCreateOutput(dir / "app.exe", &output, &why)) << why;
        ASSERT_TRUE(Write(&output, "partial"));
        EXPECT_EQ(dir.Names().size(), named ? 1u : 0u);
        ToolDiscardOutput(&output);
        ToolDiscardOutput(&output);  // nothing left to do
        EXPECT_TRUE(dir.Names().empty());
        EXPECT_FALSE(ToolCommitOutput(&output, &why));

        // The final path is a folder: the rename fails and the temporary file goes.
        fs::create_directory(dir / "taken");
        Put(dir / "taken/inside", "x");
        ASSERT_TRUE(ToolCreateOutput(dir / "taken", &output, &why)) << why;
        ASSERT_TRUE(Write(&output, "data"));
        EXPECT_FALSE(ToolCommitOutput(&output, &why));
        EXPECT_NE(why.find(dir / "taken"), std::string::npos) << why;
        EXPECT_EQ(dir.Names(), (std::vector<std::string>{"taken"}));

        // No folder to create it in: refused with the folder named, nothing made.
        EXPECT_FALSE(ToolCreateOutput(dir / "missing/app.exe", &output, &why));
        EXPECT_NE(why.find(dir / "missing"), std::string::npos) << why;
    }
}

TEST(ToolOutput, ExclusiveCreationNeverTakesAnExistingName) {
    NamedOutputs mode(true);
    Scratch dir;
    const std::string final = dir / "app.exe";
    const std::string theirs = ToolTemporaryFileName("app.exe", Me(), 0xa);
    const std::string link = ToolTemporaryFileName("app.exe", Me(), 0xb);
    // The first draw names a file of someone else's, the second a link to a
    // file outside; the third is free.
    Put(dir / theirs, "theirs");
    Put(dir / "target", "target");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / link).c_str()), 0);
    {
        ScriptedNames names({0xa, 0xb, 0xc});
        ToolOutput output;
        std::string why;
        ASSERT_TRUE(ToolCreateOutput(final, &output, &why)) << why;
        EXPECT_EQ(output.temporary, dir / ToolTemporaryFileName("app.exe", Me(), 0xc));
        ASSERT_TRUE(Write(&output, "ours"));
        ASSERT_TRUE(ToolCommitOutput(&output, &why)) << why;
    }
    EXPECT_EQ(Slurp(final), "ours");
    EXPECT_EQ(Slurp(dir / theirs), "theirs");
    EXPECT_EQ(Slurp(dir / "target"), "target");
    EXPECT_TRUE(fs::is_symlink(dir / link));

    // Every draw taken: refused, the planted file intact. Work folders too.
    ScriptedNames names({0xa});
    ToolOutput output;
    std::string why;
    EXPECT_FALSE(ToolCreateOutput(final, &output, &why));
    EXPECT_EQ(Slurp(dir / theirs), "theirs");
    setenv("TMPDIR", dir.path.c_str(), 1);
    fs::create_directory(dir / ToolWorkFolderName(Me(), 0xa));
    std::string work;
    EXPECT_FALSE(ToolMakeWorkFolder(&work, &why));
    unsetenv("TMPDIR");
    EXPECT_TRUE(fs::is_directory(dir / ToolWorkFolderName(Me(), 0xa)));
}

TEST(ToolWorkFolder, PrivateUnderTmpdirAndRemovedWithWhatItHolds) {
    Scratch dir;
    setenv("TMPDIR", dir.path.c_str(), 1);
    std::string work;
    std::string why;
    const bool made = ToolMakeWorkFolder(&work, &why);
    unsetenv("TMPDIR");
    ASSERT_TRUE(made) << why;
    EXPECT_EQ(ToolFolderOf(work), dir.path);
    uint32_t owner = 0;
    EXPECT_TRUE(ToolParseWorkFolderName(ToolNameOf(work), &owner)) << work;
    EXPECT_EQ(owner, Me());
    EXPECT_EQ(ModeOf(work), 0700u);

    const std::string secret = "password";
    const auto* bytes = reinterpret_cast<const uint8_t*>(secret.data());
    ASSERT_TRUE(ToolWriteNewFile(ToolJoin(work, "password.txt"), bytes, secret.size(), &why)) << why;
    EXPECT_EQ(ModeOf(ToolJoin(work, "password.txt")), 0600u);
    EXPECT_FALSE(ToolWriteNewFile(ToolJoin(work, "password.txt"), bytes, 3, &why));  // exclusive
    EXPECT_EQ(Slurp(ToolJoin(work, "password.txt")), "password");
    Put(ToolJoin(work, "signed.dll"), "written by a signer");
    fs::create_directory(ToolJoin(work, "empty"));
    fs::create_directories(ToolJoin(work, "sub/deeper"));
    Put(ToolJoin(work, "sub/deeper/left.tmp"), "a signer's own temporary file");
    fs::create_directory(dir / "outside");
    Put(dir / "outside/keep.txt", "keep");
    ASSERT_EQ(symlink((dir / "outside").c_str(), ToolJoin(work, "sub/link").c_str()), 0);

    ToolRemoveWorkFolder(work);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"outside"});
    EXPECT_EQ(Slurp(dir / "outside/keep.txt"), "keep");
}

// ---- interruptions --------------------------------------------------------------

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
};

// A child that catches interruptions, holds an open output and a work folder
// with a file in it, and waits to be signalled by this process; then it must
// see the signal, find both gone and have its commit refused.
TEST(ToolInterruption, EachSignalFromOutsideLeavesNoTemporaryFileAndRefusesTheCommit) {
    for (const bool named : {false, true}) {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(named ? "named " : "unnamed ") + std::to_string(signal));
            NamedOutputs mode(named);
            Scratch dir;
            setenv("TMPDIR", dir.path.c_str(), 1);
            Pipe ready;
            const pid_t child = fork();
            if (child == 0) {
                alarm(20);
                ToolCatchInterruptions();
                ToolOutput output;
                std::string work;
                std::string why;
                if (!ToolCreateOutput(dir / "app.exe", &output, &why) || !Write(&output, "partial")) _exit(10);
                if (!ToolMakeWorkFolder(&work, &why)) _exit(11);
                if (!ToolWriteNewFile(ToolJoin(work, "key"), reinterpret_cast<const uint8_t*>("k"), 1, &why)) _exit(12);
                if (write(ready.fds[1], "r", 1) != 1) _exit(13);
                for (int i = 0; i < 500 && ToolInterruption() == 0; ++i) usleep(10000);
                if (ToolInterruption() != signal) _exit(14);
                const bool visible = !output.goesWithHandle && access(output.temporary.c_str(), F_OK) == 0;
                if (visible || access(work.c_str(), F_OK) == 0) _exit(15);
                if (Write(&output, "more") && ToolCommitOutput(&output, &why)) _exit(16);
                if (ToolCreateOutput(dir / "other.exe", &output, &why)) _exit(17);
                ToolDiscardOutput(&output);
                ToolRemoveWorkFolder(work);
                _exit(128 + ToolInterruption());
            }
            unsetenv("TMPDIR");
            char mark = 0;
            ASSERT_EQ(read(ready.fds[0], &mark, 1), 1);
            EXPECT_EQ(dir.Names().size(), named ? 2u : 1u);  // the work folder, and the named temporary file
            kill(child, signal);
            int status = 0;
            waitpid(child, &status, 0);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
            EXPECT_TRUE(dir.Names().empty());
        }
    }
}

TEST(ToolInterruption, StopsTheRunningChild) {
    const int status = InChild([] {
        ToolCatchInterruptions();
        int ready[2];
        if (pipe(ready) != 0) return 2;
        const pid_t signer = fork();
        if (signer == 0) {
            signal(SIGTERM, SIG_DFL);  // as exec would leave it
            alarm(20);
            if (write(ready[1], "r", 1) != 1) _exit(1);
            for (;;) pause();
        }
        char mark = 0;
        if (read(ready[0], &mark, 1) != 1) return 3;
        ToolSetRunningChild(signer);
        raise(SIGTERM);
        int signerStatus = 0;
        waitpid(signer, &signerStatus, 0);
        return WIFSIGNALED(signerStatus) && WTERMSIG(signerStatus) == SIGTERM ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The first of several signals is the one reported; a second of the same kind
// ends the process, by that signal, with nothing left behind.
TEST(ToolInterruption, SecondSignalOfTheSameKindEndsTheProcessAndLeavesNothing) {
    int status = InChild([] {
        ToolCatchInterruptions();
        raise(SIGHUP);
        raise(SIGTERM);
        return ToolInterruption() == SIGHUP ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    Scratch dir;
    status = InChild([&dir] {
        ToolCatchInterruptions();
        ToolOutput output;
        std::string why;
        if (!ToolCreateOutput(dir / "app.exe", &output, &why) || !Write(&output, "partial")) return 2;
        raise(SIGINT);
        raise(SIGINT);
        return 3;  // not reached
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_TRUE(dir.Names().empty());
}

TEST(ToolInterruption, SignalsIgnoredOnEntryStayIgnored) {
    const int status = InChild([] {
        signal(SIGHUP, SIG_IGN);
        ToolCatchInterruptions();
        raise(SIGHUP);
        raise(SIGINT);
        return ToolInterruption() == SIGINT ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A reader that went away must not end the process with an output half made.
TEST(ToolInterruption, ClosedStandardOutputDoesNotEndTheProcess) {
    Scratch dir;
    const int status = InChild([&dir] {
        ToolCatchInterruptions();
        int fds[2];
        if (pipe(fds) != 0) return 1;
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        ToolOutput output;
        std::string why;
        if (!ToolCreateOutput(dir / "app.exe", &output, &why)) return 2;
        ToolWriteOut("wrote app.exe\n");
        return ToolCommitOutput(&output, &why) ? 0 : 3;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"app.exe"}));
}

// ---- what a killed tool leaves -------------------------------------------------

// A forked tool that makes an output and a work folder with files in it,
// tells it is ready, then waits to be killed outright (SIGKILL: no handler).
pid_t StartDoomedTool(const Scratch& dir, bool named, const Pipe& ready) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);
        ToolSetNamedOutputs(named);
        setenv("TMPDIR", (dir / "tmp").c_str(), 1);
        ToolOutput output;
        std::string work;
        std::string why;
        if (!ToolCreateOutput(dir / "out/app.exe", &output, &why) || !Write(&output, "partial package")) _exit(10);
        if (!ToolMakeWorkFolder(&work, &why)) _exit(11);
        fs::create_directories(ToolJoin(work, "sub/deeper"));
        Put(ToolJoin(work, "signed.dll"), "signed");
        Put(ToolJoin(work, "sub/deeper/left.tmp"), "left");
        if (symlink((dir / "outside").c_str(), ToolJoin(work, "sub/link").c_str()) != 0) _exit(12);
        if (write(ready.fds[1], "r", 1) != 1) _exit(13);
        for (;;) pause();
    }
    return child;
}

TEST(ToolLeftovers, AKilledToolLeavesNoUnnamedOutputAndTheNextRunRemovesTheRestOnceItIsGone) {
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        Scratch dir;
        fs::create_directories(dir / "out");
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "outside");
        Put(dir / "outside/keep.txt", "keep");
        Pipe ready;
        const pid_t tool = StartDoomedTool(dir, named, ready);
        char mark = 0;
        ASSERT_EQ(read(ready.fds[0], &mark, 1), 1);
        setenv("TMPDIR", (dir / "tmp").c_str(), 1);

        // While it lives, its names are its own, whoever sweeps.
        EXPECT_EQ(ToolRemoveLeftovers(dir / "out"), 0u);
        const std::vector<std::string> out = Scratch{dir / "out"}.Names();
        EXPECT_EQ(out.size(), named ? 1u : 0u);
        ASSERT_EQ(Scratch{dir / "tmp"}.Names().size(), 1u);

        kill(tool, SIGKILL);
        int status = 0;
        waitpid(tool, &status, 0);
        EXPECT_EQ(Scratch{dir / "out"}.Names(), out);  // an unnamed output went with the process
        EXPECT_EQ(ToolRemoveLeftovers(dir / "out"), named ? 2u : 1u);
        unsetenv("TMPDIR");
        EXPECT_TRUE(Scratch{dir / "out"}.Names().empty());
        EXPECT_TRUE(Scratch{dir / "tmp"}.Names().empty());
        EXPECT_EQ(Slurp(dir / "outside/keep.txt"), "keep");
    }
}

TEST(ToolLeftovers, OnlyOurNamesOfThisUserWhoseProcessIsGoneAndUnlockedGo) {
    Scratch dir;
    // An id that surely runs no more: a child reaped at once.
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const uint32_t dead = static_cast<uint32_t>(gone);
    const std::string stale = ToolTemporaryFileName("app.exe", dead, 1);
    const std::string mine = ToolTemporaryFileName("app.exe", Me(), 2);  // made, not locked yet: its owner runs
    const std::string link = ToolTemporaryFileName("app.exe", dead, 3);
    const std::string folder = ToolTemporaryFileName("app.exe", dead, 4);
    const std::string fifo = ToolTemporaryFileName("app.exe", dead, 5);
    const std::string locked = ToolTemporaryFileName("app.exe", dead, 6);
    for (const std::string& name : {stale, mine, locked, std::string(".app.exe.0000000000000001.tmp"),
                                    std::string("app.exe"), ToolWorkFolderName(dead, 7)}) {
        Put(dir / name, "x");
    }
    Put(dir / "target", "target");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / link).c_str()), 0);
    fs::create_directory(dir / folder);
    ASSERT_EQ(mkfifo((dir / fifo).c_str(), 0600), 0);
    // Held by another process's lock (its owner's id reused by it, say).
    Pipe ready;
    const pid_t holder = fork();
    if (holder == 0) {
        alarm(20);
        const int fd = open((dir / locked).c_str(), O_RDONLY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready.fds[1], "r", 1) != 1) _exit(1);
        for (;;) pause();
    }
    char mark = 0;
    ASSERT_EQ(read(ready.fds[0], &mark, 1), 1);
    setenv("TMPDIR", (dir / "no-such-folder").c_str(), 1);
    const size_t removed = ToolRemoveLeftovers(dir.path);
    unsetenv("TMPDIR");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(removed, 1u);
    std::vector<std::string> kept = {mine, link, folder, fifo, locked, ".app.exe.0000000000000001.tmp", "app.exe",
                                     ToolWorkFolderName(dead, 7), "target"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(dir.Names(), kept);
    EXPECT_EQ(Slurp(dir / "target"), "target");
}

// ---- files by name --------------------------------------------------------------

TEST(ToolFiles, SameFileSeesThroughLinksButNotCopies) {
    Scratch dir;
    Put(dir / "runtime.dll", "code");
    Put(dir / "copy.dll", "code");
    ASSERT_EQ(symlink("runtime.dll", (dir / "soft.dll").c_str()), 0);
    ASSERT_EQ(link((dir / "runtime.dll").c_str(), (dir / "hard.dll").c_str()), 0);
    fs::create_directory(dir / "sub");

    EXPECT_TRUE(ToolSameFile(dir / "runtime.dll", dir / "soft.dll"));
    EXPECT_TRUE(ToolSameFile(dir / "runtime.dll", dir / "hard.dll"));
    EXPECT_TRUE(ToolSameFile(dir / "runtime.dll", dir / "sub/../runtime.dll"));
    EXPECT_FALSE(ToolSameFile(dir / "runtime.dll", dir / "copy.dll"));
    EXPECT_FALSE(ToolSameFile(dir / "missing.dll", dir / "missing.dll"));

    ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
    EXPECT_TRUE(ToolExists(dir / "dangling"));
    EXPECT_FALSE(ToolExists(dir / "nowhere"));
    EXPECT_TRUE(ToolIsFolder(dir / "sub"));
    EXPECT_FALSE(ToolIsFolder(dir / "runtime.dll"));
}

TEST(ToolFiles, ReadsOnlyRegularFilesWithinTheirLimit) {
    Scratch dir;
    Put(dir / "icon.ico", std::string(3000, 'i'));
    ToolFile file;
    uint64_t size = 0;
    std::string why;
    ASSERT_TRUE(ToolOpenRead(dir / "icon.ico", &file, &size, &why)) << why;
    EXPECT_EQ(size, 3000u);
    std::vector<uint8_t> buffer(2048);
    size_t got = 0;
    ASSERT_TRUE(ToolRead(&file, buffer.data(), buffer.size(), &got, &why));
    EXPECT_EQ(got, 2048u);
    ASSERT_TRUE(ToolRead(&file, buffer.data(), buffer.size(), &got, &why));
    EXPECT_EQ(got, 952u);
    ASSERT_TRUE(ToolRead(&file, buffer.data(), buffer.size(), &got, &why));
    EXPECT_EQ(got, 0u);

    std::vector<uint8_t> whole;
    EXPECT_TRUE(ToolReadWhole(dir / "icon.ico", 3000, &whole, &why));
    EXPECT_EQ(whole.size(), 3000u);
    EXPECT_FALSE(ToolReadWhole(dir / "icon.ico", 2999, &whole, &why));
    EXPECT_FALSE(ToolOpenRead(dir.path, &file, &size, &why));
    EXPECT_FALSE(ToolOpenRead("/dev/null", &file, &size, &why));
    EXPECT_FALSE(ToolOpenRead(dir / "missing", &file, &size, &why));
}

TEST(ToolFiles, PathParts) {
    EXPECT_EQ(ToolFolderOf("app.exe"), ".");
    EXPECT_EQ(ToolFolderOf("/app.exe"), "/");
    EXPECT_EQ(ToolFolderOf("out//app.exe"), "out");
    EXPECT_EQ(ToolFolderOf("out/sub/"), "out");
    EXPECT_EQ(ToolNameOf("out/sub/"), "sub");
    EXPECT_EQ(ToolNameOf("app.exe"), "app.exe");
    EXPECT_EQ(ToolJoin("out/", "a"), "out/a");
    EXPECT_EQ(ToolJoin("out", "a"), "out/a");
    EXPECT_EQ(ToolJoin("", "a"), "a");

    uint64_t free = 0;
    EXPECT_TRUE(ToolFreeSpace("/tmp", &free));
    EXPECT_GT(free, 0u);
    EXPECT_FALSE(ToolFreeSpace("/no/such/folder", &free));
    EXPECT_EQ(ToolOwnFolder(), fs::canonical("/proc/self/exe").parent_path().string());
}

}  // namespace
