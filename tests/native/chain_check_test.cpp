// The --trust-root chain check as every tool runs it, through the tool host,
// with a stand-in osslsigncode that says what a real one would: it is never
// looked for in the current folder, a verdict comes only from a verify that
// ran, inputs that cannot be written mean "cannot check" and never a refusal,
// and Ctrl-C stops it and removes its copy of the runtime.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/package.h"
#include "tests/support/temp_dir.h"
#include "tools/host/host.h"
#include "tools/inspect/inspect.h"

namespace {

// Sets an environment variable for a scope (unset when value is null).
struct Env {
    std::string name;
    std::string old;
    bool had;
    Env(const char* key, const char* value) : name(key), had(std::getenv(key) != nullptr) {
        if (had) old = std::getenv(key);
        if (value != nullptr) {
            setenv(key, value, 1);
        } else {
            unsetenv(key);
        }
    }
    ~Env() {
        if (had) {
            setenv(name.c_str(), old.c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
};

const std::vector<uint8_t> IMAGE = {'M', 'Z', 1, 2, 3};

// A stand-in osslsigncode: "verify --help" lists the options; a verify
// notes its -in path in LOG and then runs body (sh).
std::string Stand(const TempDir& dir, const std::string& body) {
    const std::string script = "#!/bin/sh\n"
                               "if [ \"$2\" = --help ]; then echo '-CAfile -TSA-CAfile -ignore-cdp'; exit 1; fi\n"
                               "while [ $# -gt 1 ]; do [ \"$1\" = -in ] && echo \"$2\" > \"$LOG\"; shift; done\n" +
                               body + "\n";
    dir.WriteFile("bin/osslsigncode", script);
    dir.SetMode("bin/osslsigncode", 0755);
    return dir.Native("bin/osslsigncode");
}

// 0 when the chain holds, 1 when refused, -1 when nothing was judged.
int Verify(const std::vector<std::string>& roots, std::string* output) {
    bool holds = false;
    if (!VerifyWithOsslsigncode(IMAGE.data(), IMAGE.size(), roots, &holds, output)) return -1;
    return holds ? 0 : 1;
}

TEST(ChainCheck, AVerdictComesOnlyFromAVerifyThatRan) {
    TempDir dir;
    dir.WriteFile("root.pem", "ROOT\n");
    Env log("LOG", dir.Native("log").c_str());
    Env tool("VORLANE_OSSLSIGNCODE", Stand(dir, "cat \"$(dirname \"$(cat \"$LOG\")\")/roots.pem\"; "
                                                "[ -n \"$REFUSE\" ] && { echo 'Verify error: certificate has expired'; "
                                                "exit 1; }; echo 'Signature verification: ok'")
                                              .c_str());
    std::string output;
    EXPECT_EQ(Verify({dir.Native("root.pem")}, &output), 0) << output;
    {
        Env refuse("REFUSE", "1");
        EXPECT_EQ(Verify({dir.Native("root.pem")}, &output), 1);
        EXPECT_EQ(output, "certificate has expired");
    }
    // A root that cannot be read, or a work folder that cannot be made: nothing was judged.
    EXPECT_EQ(Verify({dir.Native("missing.pem")}, &output), -1);
    EXPECT_NE(output.find("cannot prepare the chain check"), std::string::npos) << output;
    dir.MakeDir("readonly");
    dir.SetMode("readonly", 0555);
    if (geteuid() != 0) {
        Env tmp("TMPDIR", dir.Native("readonly").c_str());
        EXPECT_EQ(Verify({dir.Native("root.pem")}, &output), -1);
        EXPECT_NE(output.find("cannot make a work folder"), std::string::npos) << output;
    }
    // A crash judges nothing either.
    Env crash("VORLANE_OSSLSIGNCODE", Stand(dir, "kill -SEGV $$").c_str());
    EXPECT_EQ(Verify({dir.Native("root.pem")}, &output), -1) << output;
    // The run took its work folder with it.
    const std::string in = dir.ReadFile("log");
    ASSERT_FALSE(in.empty());
    EXPECT_NE(access(in.substr(0, in.rfind('/')).c_str(), F_OK), 0) << in;
}

TEST(ChainCheck, NeverRunsAnOsslsigncodeFromTheCurrentFolder) {
    TempDir dir;
    dir.WriteFile("cwd/osslsigncode", "#!/bin/sh\ntouch \"$0.ran\"\necho '-CAfile'\n");
    dir.SetMode("cwd/osslsigncode", 0755);
    dir.WriteFile("root.pem", "ROOT\n");
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.Native("cwd").c_str()), 0);
    std::string output;
    int result = 0;
    {
        Env tool("VORLANE_OSSLSIGNCODE", nullptr);
        Env path("PATH", ":/nonexistent:");
        result = Verify({dir.Native("root.pem")}, &output);
    }
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(result, -1);
    EXPECT_NE(output.find("cannot be run"), std::string::npos) << output;
    EXPECT_FALSE(dir.Exists("cwd/osslsigncode.ran"));
}

TEST(ChainCheck, AnInterruptionStopsItAndRemovesTheRuntimesCopy) {
    TempDir dir;
    dir.WriteFile("root.pem", "ROOT\n");
    Env log("LOG", dir.Native("log").c_str());
    Env tool("VORLANE_OSSLSIGNCODE", Stand(dir, "echo $$ > \"$LOG.pid\"; exec sleep 30").c_str());
    Env tmp("TMPDIR", dir.Native().c_str());
    const pid_t toolProcess = fork();
    ASSERT_GE(toolProcess, 0);
    if (toolProcess == 0) {
        alarm(20);
        ToolCatchInterruptions();
        std::string output;
        const int result = Verify({dir.Native("root.pem")}, &output);
        _exit(result == -1 && ToolInterruption() == SIGINT ? 0 : 1);
    }
    std::string pid;
    for (int i = 0; i < 200 && pid.empty(); ++i) {
        usleep(50 * 1000);
        pid = dir.ReadFile("log.pid");
    }
    ASSERT_FALSE(pid.empty());
    const std::string in = dir.ReadFile("log");
    const std::string work = in.substr(0, in.rfind('/'));
    ASSERT_EQ(work.rfind(dir.Native("vorlane-"), 0), 0u) << "a work folder in TMPDIR: " << in;
    EXPECT_EQ(access((work + "/VorlaneStub.dll").c_str(), F_OK), 0) << "the copy is in its work folder";
    kill(toolProcess, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(toolProcess, &status, 0), toolProcess);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(ProcessEnds(std::atoi(pid.c_str()))) << "osslsigncode outlived the interruption";
    EXPECT_NE(access(work.c_str(), F_OK), 0) << "the work folder outlived the interruption: " << work;
}

}  // namespace
