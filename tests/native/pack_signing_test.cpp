// Signing for vorlane-pack against real signers: osslsigncode with PEM keys and
// PKCS#12 files (modern and legacy encryption) made by openssl, templates
// whose paths would be commands to a shell, signers that fail or write
// nothing; the child processes under them; the command lines Windows would
// get, read back by Windows' documented rules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/package.h"
#include "tests/support/temp_dir.h"
#include "tools/host/command_line.h"
#include "tools/host/host.h"
#include "tools/inspect/inspect.h"
#include "tools/pack/signing.h"

namespace {

// Sets an environment variable for a scope (unset when value is null).
class EnvScope {
public:
    EnvScope(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvScope() {
        if (had_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

// ToolRunProgram's exit status, or its TOOL_RUN_ value when the program did
// not run to its end (which it must say by returning false).
int RunChild(const std::vector<std::string>& arguments, std::string* output,
             const ToolRunOptions& options = ToolRunOptions()) {
    int status = 0;
    const bool ran = ToolRunProgram(arguments, &status, output, options);
    EXPECT_EQ(ran, status >= 0) << status;
    return status;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> words;
    std::string why;
    EXPECT_TRUE(SplitSignTemplate(text, &words, &why)) << why;
    return words;
}

// argv as the Microsoft C runtime reads a command line (its documented rules,
// 2008 and later), the oracle for what CreateProcessW's child will see.
std::vector<std::string> ParseWindowsCommandLine(const std::string& line) {
    std::vector<std::string> args;
    size_t i = 0;
    std::string program;
    if (i < line.size() && line[i] == '"') {
        for (++i; i < line.size() && line[i] != '"'; ++i) program += line[i];
        if (i < line.size()) ++i;
    } else {
        for (; i < line.size() && line[i] != ' ' && line[i] != '\t'; ++i) program += line[i];
    }
    args.push_back(program);
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                size_t n = 0;
                while (i < line.size() && line[i] == '\\') ++n, ++i;
                if (i < line.size() && line[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(n, '\\');
                }
            } else if (line[i] == '"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg += '"';  // "" inside quotes: a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg += line[i++];
            }
        }
        args.push_back(arg);
    }
    return args;
}

TEST(SignTemplate, SplitsOnSpacesGroupsQuotesAndKeepsBackslashes) {
    EXPECT_EQ(Split("signtool sign /fd sha256 /a {in}"),
              (std::vector<std::string>{"signtool", "sign", "/fd", "sha256", "/a", "{in}"}));
    EXPECT_EQ(Split("\"C:\\Program Files\\Kits\\signtool.exe\"  sign\t/f 'C:\\keys\\my \"best\" key.pfx' {in}"),
              (std::vector<std::string>{"C:\\Program Files\\Kits\\signtool.exe", "sign", "/f",
                                        "C:\\keys\\my \"best\" key.pfx", "{in}"}));
    EXPECT_EQ(Split("tool -pass\"word with space\"s '' \"\" -in={in}"),
              (std::vector<std::string>{"tool", "-password with spaces", "", "", "-in={in}"}));
    std::vector<std::string> words;
    std::string why;
    EXPECT_FALSE(SplitSignTemplate("tool -in \"{in}", &words, &why));
    EXPECT_NE(why.find("unclosed double quote"), std::string::npos);
    EXPECT_FALSE(SplitSignTemplate("  \t ", &words, &why));
    EXPECT_FALSE(SplitSignTemplate("'' {in}", &words, &why));
}

TEST(SignTemplate, PathsAreFilledInAfterTheSplitAndStayOneArgument) {
    const std::string hostile = "/tmp/a b/x\"; rm -rf ~; $(reboot) `id` '{out}'.dll";
    const std::vector<std::string> filled =
        FillSignTemplate(Split("jsign --keystore k.p12 --out={out} {in} '{in}.sig'"), hostile, "/w/out {x}.dll");
    EXPECT_EQ(filled, (std::vector<std::string>{"jsign", "--keystore", "k.p12", "--out=/w/out {x}.dll", hostile,
                                                hostile + ".sig"}));
    EXPECT_TRUE(TemplateNames(Split("t -in={in}"), "{in}"));
    EXPECT_FALSE(TemplateNames(Split("t -in {in}"), "{out}"));
}

TEST(SignSettings, RefusesContradictoryOrIncompleteSettingsBeforeAnyWork) {
    TempDir dir;
    dir.WriteFile("key.pfx", "x");
    dir.WriteFile("cert.pem", "x");
    const std::string pfx = dir.Native("key.pfx");
    const std::string cert = dir.Native("cert.pem");
    EnvScope signer("VORLANE_OSSLSIGNCODE", nullptr);
    struct Case {
        SignSettings settings;
        const char* expected;  // "" when accepted
    };
    const Case cases[] = {
        {{}, ""},
        {{"osslsigncode sign -in {in} -out {out}", "", "", "", {}, true}, ""},
        {{"", "", "", pfx, {"http://ts.example"}, true}, ""},
        {{"", cert, cert, "", {}, false}, ""},
        {{"osslsigncode sign -in x -out {out}", "", "", "", {}, false}, "names no {in}"},
        {{"{in} sign", "", "", "", {}, false}, "must start with the signer program"},
        {{"no-such-signer-here {in}", "", "", "", {}, false},
         "no-such-signer-here named by --sign-command is not found"},
        {{"osslsigncode {in}", "", "", pfx, {}, false}, "choose one way to sign"},
        {{"", cert, cert, pfx, {}, false}, "choose one way to sign"},
        {{"", "", "", "", {}, true}, "--sign-exe needs a way to sign"},
        {{"", "", "", "", {"http://ts.example"}, false}, "--timestamp needs"},
        {{"osslsigncode {in}", "", "", "", {"http://ts.example"}, false}, "put your signer's own timestamp option"},
        {{"", cert, "", "", {}, false}, "needs a certificate and a key"},
        {{"", cert, dir.Native("none.key"), "", {}, false}, "signing key not found"},
        {{"", "", "", dir.Native(""), {}, false}, "signing PKCS#12 file not found"},
    };
    for (const Case& c : cases) {
        std::string why;
        const bool accepted = CheckSignSettings(c.settings, &why);
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(accepted, std::string(c.expected).empty()) << why;
        if (!accepted) EXPECT_NE(why.find(c.expected), std::string::npos) << why;
    }
}

// A signer's arguments read back as the signer reads them: its verb, then
// options from its table, each taking the next argument as its value, and
// what is left as files. problem says what the signer would not read.
struct SignerCall {
    std::string verb;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> files;
    std::string problem;

    std::vector<std::string> Values(const std::string& option) const {
        std::vector<std::string> values;
        for (const auto& o : options) {
            if (o.first == option) values.push_back(o.second);
        }
        return values;
    }
};

SignerCall ReadSignerCall(const std::vector<std::string>& arguments, const std::set<std::string>& table,
                          char optionMark) {
    SignerCall call;
    if (arguments.size() < 2) {
        call.problem = "no verb";
        return call;
    }
    call.verb = arguments[1];
    for (size_t i = 2; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (table.count(word) != 0) {
            if (i + 1 == arguments.size()) call.problem += word + " has no value; ";
            if (i + 1 < arguments.size()) call.options.emplace_back(word, arguments[++i]);
        } else if (!word.empty() && word[0] == optionMark) {
            call.problem += "unknown option " + word + "; ";
        } else {
            call.files.push_back(word);
        }
    }
    return call;
}

using Values = std::vector<std::string>;

// What is wrong with osslsigncode's arguments for the job ("" when nothing):
// the job's key material and nothing else, the password only through the
// pipe, each timestamp server once in order, the signing time when given,
// SHA-256, and -in and -out the two files.
std::string OsslsigncodeProblem(const KeySigning& job, const std::string& in, const std::string& out) {
    const std::vector<std::string> arguments = OsslsigncodeArguments(job, in, out);
    SignerCall call = ReadSignerCall(
        arguments, {"-pkcs12", "-certs", "-key", "-readpass", "-pass", "-ts", "-time", "-h", "-in", "-out"}, '-');
    std::string& problem = call.problem;
    if (arguments[0] != job.program || call.verb != "sign") problem += "not osslsigncode sign; ";
    const bool pkcs12 = !job.pkcs12.empty();
    if (call.Values("-pkcs12") != (pkcs12 ? Values{job.pkcs12} : Values{})) problem += "-pkcs12; ";
    if (call.Values("-certs") != (pkcs12 ? Values{} : Values{job.certificate})) problem += "-certs; ";
    if (call.Values("-key") != (pkcs12 ? Values{} : Values{job.key})) problem += "-key; ";
    const Values pipe = job.passwordSource.empty() ? Values{} : Values{ToolSecretName()};
    if (call.Values("-readpass") != pipe || !call.Values("-pass").empty()) problem += "the password's way in; ";
    for (const std::string& argument : arguments) {
        if (!job.password.empty() && argument.find(job.password) != std::string::npos) problem += "the password; ";
    }
    if (call.Values("-ts") != job.timestamps) problem += "-ts; ";
    if (call.Values("-time") != (job.epoch.empty() ? Values{} : Values{job.epoch})) problem += "-time; ";
    if (call.Values("-h") != Values{"sha256"}) problem += "-h; ";
    if (call.Values("-in") != Values{in} || call.Values("-out") != Values{out} || !call.files.empty()) {
        problem += "the files; ";
    }
    return problem;
}

// signtool's, for one try with one timestamp server (or none), after the
// trip through the Windows command line: the PFX, its password on /p
// exactly when there is one (signtool reads it nowhere else), SHA-256 for the
// file and the timestamp, and the file itself last.
std::string SigntoolProblem(const KeySigning& job, const std::string& url, const std::string& file) {
    const std::vector<std::string> arguments = SigntoolArguments(job, url, file);
    std::string line;
    std::string why;
    if (!WindowsCommandLine(arguments, &line, &why)) return "no command line: " + why;
    const std::vector<std::string> read = ParseWindowsCommandLine(line);
    if (read != arguments) return "the command line reads back otherwise: " + line;
    SignerCall call = ReadSignerCall(read, {"/f", "/p", "/fd", "/tr", "/td"}, '/');
    std::string& problem = call.problem;
    if (read[0] != job.program || call.verb != "sign") problem += "not signtool sign; ";
    if (call.Values("/f") != Values{job.pkcs12}) problem += "/f; ";
    if (call.Values("/p") != (job.hasPassword ? Values{job.password} : Values{})) problem += "/p; ";
    if (call.Values("/fd") != Values{"sha256"}) problem += "/fd; ";
    const Values stamp = url.empty() ? Values{} : Values{url};
    if (call.Values("/tr") != stamp || call.Values("/td") != (url.empty() ? Values{} : Values{"sha256"})) {
        problem += "the timestamp; ";
    }
    if (call.files != Values{file} || read.back() != file) problem += "the file; ";
    return problem;
}

TEST(SignCommandLines, OsslsigncodeGetsTheKeyThePipeEachTimestampOnceAndTheTwoFiles) {
    KeySigning pkcs12;
    pkcs12.program = "/usr/bin/osslsigncode";
    pkcs12.pkcs12 = "/keys/a b.pfx";
    pkcs12.password = "hunter2 secret";
    pkcs12.hasPassword = true;
    pkcs12.passwordSource = ToolSecretName();
    pkcs12.timestamps = {"http://ts1", "http://ts2"};
    pkcs12.epoch = "1700000000";
    KeySigning pem;
    pem.program = "osslsigncode";
    pem.certificate = "chain.pem";
    pem.key = "-leaf.key";  // a name that looks like an option stays the value it is
    KeySigning locked = pem;
    locked.password = "vorlane: no VORLANE_SIGN_PASSWORD given";
    locked.passwordSource = ToolSecretName();
    locked.timestamps = {"http://only"};
    const struct {
        const char* what;
        const KeySigning& job;
        std::string in, out;
    } cases[] = {
        {"PKCS#12, password, two servers, a signing time", pkcs12, "/in.dll", "/out dir/out.dll"},
        {"PEM, no password", pem, "i", "o"},
        {"PEM, stand-in password, one server", locked, "-in", "-out"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OsslsigncodeProblem(c.job, c.in, c.out), "") << c.what;
    }
}

TEST(SignCommandLines, SigntoolGetsThePfxOneTimestampPerTryAndTheFileLastThroughWindowsQuoting) {
    KeySigning windows;
    windows.program = "C:\\Program Files\\Kits\\signtool.exe";
    windows.pkcs12 = "C:\\keys\\a \"b\".pfx";
    windows.password = "p \"w\" \\";
    windows.hasPassword = true;
    for (const bool password : {true, false}) {
        windows.hasPassword = password;
        for (const char* url : {"http://ts1", ""}) {
            EXPECT_EQ(SigntoolProblem(windows, url, "C:\\w\\x y\\"), "") << password << " " << url;
        }
    }
}

TEST(WindowsCommandLines, ReadBackAsTheSameArgumentsByTheRuntimesRules) {
    // The parser first reproduces Microsoft's own examples of those rules.
    EXPECT_EQ(ParseWindowsCommandLine("p \"abc\" d e"), (std::vector<std::string>{"p", "abc", "d", "e"}));
    EXPECT_EQ(ParseWindowsCommandLine("p a\\\\\\b d\"e f\"g h"),
              (std::vector<std::string>{"p", "a\\\\\\b", "de fg", "h"}));
    EXPECT_EQ(ParseWindowsCommandLine("p a\\\\\\\"b c d"), (std::vector<std::string>{"p", "a\\\"b", "c", "d"}));
    EXPECT_EQ(ParseWindowsCommandLine("p a\\\\\\\\\"b c\" d e"), (std::vector<std::string>{"p", "a\\\\b c", "d", "e"}));

    const std::vector<std::string> arguments = {
        "C:\\Program Files\\Kits\\signtool.exe", "sign", "", "a b", "C:\\dir with space\\", "C:\\dir\\",
        "\\\\server\\share\\x", "say \"hi\"", "\\\"", "ends\\\\", "tab\there", "new\nline", "p \"w\" \\",
        "x\"; calc.exe & \"", "%PATH%"};
    std::string line;
    std::string why;
    ASSERT_TRUE(WindowsCommandLine(arguments, &line, &why)) << why;
    EXPECT_EQ(ParseWindowsCommandLine(line), arguments) << line;
    EXPECT_EQ(line.substr(0, 41), "\"C:\\Program Files\\Kits\\signtool.exe\" sign");
    EXPECT_FALSE(WindowsCommandLine({"bad\"name.exe"}, &line, &why));
    EXPECT_FALSE(WindowsCommandLine({"p", std::string("nul\0x", 5)}, &line, &why));
}

TEST(WindowsCommandLines, BatchFilesGetQuotedArgumentsAndNothingCmdWouldExpand) {
    std::string line;
    std::string why;
    ASSERT_TRUE(BatchCommandLine("C:\\Windows\\system32\\cmd.exe",
                                 {"C:\\Program Files (x86)\\sign.cmd", "a & b | c", "C:\\out\\"}, &line, &why));
    EXPECT_EQ(line, "\"C:\\Windows\\system32\\cmd.exe\" /d /v:off /s /c \"\"C:\\Program Files (x86)\\sign.cmd\" "
                    "\"a & b | c\" \"C:\\out\\\"\"");
    for (const char* refused : {"100%", "say \"x\"", "two\nlines"}) {
        EXPECT_FALSE(BatchCommandLine("cmd.exe", {"s.bat", refused}, &line, &why)) << refused;
        EXPECT_NE(why.find("run a program instead"), std::string::npos);
    }
}

TEST(SignerOutput, NamesThePasswordOrTheTimestampAndDropsOpenSslsStack) {
    const std::string wrong =
        "Failed to parse PKCS#12 file: legacy.pfx (Wrong password?)\nFailed to read key or certificates\n"
        "4040862F487F0000:error:11800071:PKCS12 routines:PKCS12_parse:mac verify failure:p12_kiss.c:71:\nFailed\n";
    EXPECT_EQ(SignerTroubleIn(wrong), SignerTrouble::Password);
    EXPECT_EQ(SignerWords(wrong, 4),
              "Failed to parse PKCS#12 file: legacy.pfx (Wrong password?); Failed to read key or certificates; Failed");
    EXPECT_EQ(SignerTroubleIn("SignTool Error: The specified PFX password is not correct.\n"), SignerTrouble::Password);
    EXPECT_EQ(SignerTroubleIn("SignTool Error: The specified timestamp server either could not be reached or "
                              "returned an invalid response.\n"),
              SignerTrouble::Timestamp);
    // signtool's summary lines follow its error: the error lines are the ones shown.
    EXPECT_EQ(SignerWords("Done Adding Additional Store\nSignTool Error: No certificates were found.\n\n"
                          "Number of files successfully Signed: 0\nNumber of warnings: 0\n",
                          4),
              "SignTool Error: No certificates were found.");
    EXPECT_EQ(SignerWords("one\ntwo\nthree\r\n  \nfour\nfive\n", 2), "four; five");
}

TEST(ChildProcesses, ExitStatusOutputAndArgumentsComeBackWhole) {
    std::string output;
    EXPECT_EQ(RunChild({"sh", "-c", "echo out; echo err >&2; exit 3"}, &output), 3);
    EXPECT_EQ(output, "out\nerr\n");
    // Arguments arrive unchanged; standard input is empty, never the terminal's.
    EXPECT_EQ(RunChild({"sh", "-c", "printf '[%s]' \"$@\"; cat", "sh", "a b", "$(id)", "", "x\"y"}, &output), 0);
    EXPECT_EQ(output, "[a b][$(id)][][x\"y]");
    EXPECT_EQ(RunChild({"sh", "-c", "kill -9 $$"}, &output), 128 + 9);
    EXPECT_EQ(RunChild({"no-such-program-anywhere"}, &output), TOOL_RUN_NOT_STARTED);
    EXPECT_NE(output.find("no-such-program-anywhere not found on PATH"), std::string::npos);
    // A grandchild that keeps the pipe open does not hold the caller once the child has ended.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunChild({"sh", "-c", "sleep 5 & echo started"}, &output), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(output, "started\n");
}

TEST(ChildProcesses, PathSearchSkipsTheCurrentFolder) {
    TempDir dir;
    dir.WriteFile("bin/signer-x", "#!/bin/sh\necho found\n");
    dir.WriteFile("cwd/signer-x", "#!/bin/sh\necho planted\n");
    dir.SetMode("bin/signer-x", 0755);
    dir.SetMode("cwd/signer-x", 0755);
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.Native("cwd").c_str()), 0);
    std::string found;
    std::string output;
    {
        EnvScope path("PATH", (":" + dir.Native("bin") + "::/bin:/usr/bin").c_str());
        EXPECT_TRUE(ToolFindProgram("signer-x", &found));
        EXPECT_EQ(RunChild({"signer-x"}, &output), 0);
    }
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(found, dir.Native("bin/signer-x"));
    EXPECT_EQ(output, "found\n");
}

TEST(ChildProcesses, AnInterruptionStopsTheChildAndSaysSo) {
    TempDir dir;
    const std::string pidFile = dir.Native("pid");
    // The tool in a process of its own: its interruption is for good.
    const pid_t tool = fork();
    ASSERT_GE(tool, 0);
    if (tool == 0) {
        ToolCatchInterruptions();
        std::string output;
        int status = 0;
        const bool ran = ToolRunProgram({"sh", "-c", "echo $$ > \"$0\"; exec sleep 30", pidFile}, &status, &output);
        _exit(!ran && status == TOOL_RUN_INTERRUPTED && ToolInterruption() == SIGTERM ? 0 : 1);
    }
    std::string pid;
    for (int i = 0; i < 100 && pid.empty(); ++i) {
        usleep(50 * 1000);
        pid = dir.ReadFile("pid");
    }
    ASSERT_FALSE(pid.empty());
    const auto start = std::chrono::steady_clock::now();
    kill(tool, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(tool, &status, 0), tool);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(kill(std::atoi(pid.c_str()), 0), 0) << "the signer outlived the interruption";
}

TEST(ChildProcesses, TheTimeoutEndsTheChildWithEverythingItStarted) {
    TempDir dir;
    const std::string pids = dir.Native("pids");
    // A child that never ends, one that ignores the polite request, and one
    // whose grandchild would outlive it (its own process group, no pipe).
    const std::vector<std::vector<std::string>> hangs = {
        {"sh", "-c", "exec sleep 60"},
        {"sh", "-c", "trap '' TERM; echo $$ > \"$0\"; while :; do sleep 1; done", pids},
        {"sh", "-c", "sleep 60 >/dev/null 2>&1 & echo $! > \"$0\"; echo started; wait", pids},
    };
    for (const auto& hang : hangs) {
        SCOPED_TRACE(hang[2]);
        std::remove(pids.c_str());
        ToolRunOptions options;
        options.timeoutSeconds = 1;
        std::string output;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RunChild(hang, &output, options), TOOL_RUN_TIMED_OUT);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
        const std::string pid = dir.ReadFile("pids");
        if (!pid.empty()) EXPECT_TRUE(ProcessEnds(std::atoi(pid.c_str()))) << "a process of the signer outlived it";
    }
    std::string output;
    ToolRunOptions options;
    options.timeoutSeconds = 5;
    EXPECT_EQ(RunChild({"sh", "-c", "echo quick; exit 4"}, &output, options), 4);
    EXPECT_EQ(output, "quick\n");
}

TEST(ChildProcesses, ASecretArrivesThroughAPipeAndNothingElseOfOursIsInherited) {
    // A descriptor this process holds without close-on-exec: a child must still not get it.
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    const std::string secret = "p\xc3\xa4ss w0rd; $(id) \"\n";
    ToolRunOptions options;
    options.secret = &secret;
    std::string output;
    // The shell's descriptors, listed with nothing between: a pipe or a
    // redirection would give the shell a descriptor of its own for a moment,
    // and `true` keeps it from handing its process to ls.
    const std::string list = "ls /proc/$$/fd; true";
    const std::string script = "test -p \"$0\" && cat \"$0\"; " + list;
    EXPECT_EQ(RunChild({"sh", "-c", script, ToolSecretName()}, &output, options), 0);
    EXPECT_EQ(output.substr(0, secret.size()), secret);
    EXPECT_EQ(output.substr(secret.size()), "0\n1\n2\n3\n");  // sh's own, and the secret's: never the stray
    EXPECT_EQ(RunChild({"sh", "-c", list}, &output), 0);
    EXPECT_EQ(output, "0\n1\n2\n");
    close(stray);
}

// A tool on a terminal: a signer that prompts there is stopped (it runs in a
// group of its own) and ended at once, never left to wait out the timeout.
TEST(ChildProcesses, ASignerThatPromptsOnTheTerminalIsEndedAtOnce) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const pid_t tool = fork();
    ASSERT_GE(tool, 0);
    if (tool == 0) {
        alarm(30);
        setsid();
        const int terminal = open(slave.c_str(), O_RDWR);  // the session's controlling terminal now
        if (terminal < 0) _exit(2);
        ToolRunOptions options;
        options.timeoutSeconds = 60;
        std::string output;
        int status = 0;
        const bool ran = ToolRunProgram({"sh", "-c", "echo asking; read pin < /dev/tty"}, &status, &output, options);
        _exit(!ran && status == TOOL_RUN_WANTS_TERMINAL && output.rfind("asking\n", 0) == 0 ? 0 : 1);
    }
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(waitpid(tool, &status, 0), tool);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(master);
}

// Real signing with key files openssl makes, a small unsigned DLL mingw builds.
class Signing : public ::testing::Test {
protected:
    static TempDir* dir;

    static void SetUpTestSuite() {
        dir = new TempDir();
        dir->WriteFile("a.c", "__declspec(dllexport) int VorlaneInit(void) { return 7; }\n");
        const std::string d = dir->Native();
        const std::vector<std::vector<std::string>> steps = {
            {"x86_64-w64-mingw32-gcc", "-shared", "-s", "-o", d + "/a.dll", d + "/a.c"},
            {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-keyout", d + "/leaf.key",
             "-out", d + "/leaf.pem", "-subj", "/CN=Signing Test", "-addext", "extendedKeyUsage=codeSigning"},
            {"openssl", "pkey", "-in", d + "/leaf.key", "-aes256", "-passout", "pass:pem secret", "-out",
             d + "/locked.key"},
            {"openssl", "pkcs12", "-export", "-in", d + "/leaf.pem", "-inkey", d + "/leaf.key", "-out",
             d + "/modern.pfx", "-passout", "pass:pfx secret"},
            {"openssl", "pkcs12", "-export", "-legacy", "-in", d + "/leaf.pem", "-inkey", d + "/leaf.key", "-out",
             d + "/legacy.pfx", "-passout", "pass:pfx secret"},
        };
        for (const auto& step : steps) {
            std::string output;
            ASSERT_EQ(RunProgram(step, d, &output), 0) << step[0] << ": " << output;
        }
        // Folders whose names a shell would run.
        dir->MakeDir("in x; touch PWNED #/$(touch PWNED2)");
        dir->MakeDir("out dir");
        WriteBytes(dir->Native("in x; touch PWNED #/$(touch PWNED2)/a.dll"), ReadBytes(d + "/a.dll"));
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    static std::string In() { return dir->Native("in x; touch PWNED #/$(touch PWNED2)/a.dll"); }

    // Signs the DLL into a fresh output; the message on failure.
    static bool Sign(const SignSettings& settings, const std::string& name, std::string* why) {
        const std::string before = dir->ReadFile("a.dll");
        const bool signedIt = SignFile(settings, In(), dir->Native("out dir/" + name), "the runtime library", why);
        EXPECT_EQ(dir->ReadFile("in x; touch PWNED #/$(touch PWNED2)/a.dll"), before) << "the input was changed";
        EXPECT_FALSE(dir->Exists("PWNED") || dir->Exists("out dir/PWNED") || dir->Exists("PWNED2"));
        return signedIt;
    }
    static bool Verified(const std::string& name) {
        std::string output;
        return RunProgram({"osslsigncode", "verify", "-CAfile", dir->Native("leaf.pem"), "-in",
                           dir->Native("out dir/" + name)},
                          "", &output) == 0;
    }
};
TempDir* Signing::dir = nullptr;

TEST_F(Signing, TemplatesSignIntoOutOrInPlaceOnACopy) {
    std::string why;
    SignSettings to;
    to.command = "osslsigncode sign -certs '" + dir->Native("leaf.pem") + "' -key \"" + dir->Native("leaf.key") +
                 "\" -h sha256 -in {in} -out {out}";
    EXPECT_TRUE(Sign(to, "to.dll", &why)) << why;
    EXPECT_TRUE(Verified("to.dll"));

    // Without {out}: the signer is handed the copy, which it signs in place.
    dir->WriteFile("in-place.sh", "echo \"$1\" > \"$0.arg\"; osslsigncode sign -certs \"$2\" -key \"$3\" "
                                  "-in \"$1\" -out \"$1.new\" && mv \"$1.new\" \"$1\"\n");
    SignSettings in;
    in.command = "sh '" + dir->Native("in-place.sh") + "' {in} '" + dir->Native("leaf.pem") + "' '" +
                 dir->Native("leaf.key") + "'";
    EXPECT_TRUE(Sign(in, "in place.dll", &why)) << why;
    EXPECT_TRUE(Verified("in place.dll"));
    EXPECT_EQ(dir->ReadFile("in-place.sh.arg"), dir->Native("out dir/in place.dll") + "\n");
}

TEST_F(Signing, ASignerThatFailsOrSignsNothingIsNamedWithItsOwnWords) {
    std::string why;
    SignSettings nothing;
    nothing.command = "true {in}";
    EXPECT_FALSE(Sign(nothing, "nothing.dll", &why));
    EXPECT_NE(why.find("the signer true wrote no signature"), std::string::npos) << why;
    nothing.command = "true {in} {out}";
    EXPECT_FALSE(Sign(nothing, "nothing2.dll", &why));
    EXPECT_NE(why.find("the signer true wrote no signature"), std::string::npos) << why;
    nothing.command = "cp {in} {out}";
    EXPECT_FALSE(Sign(nothing, "copied.dll", &why));
    EXPECT_NE(why.find("carries no certificate table"), std::string::npos) << why;

    SignSettings failing;
    failing.command = "sh -c 'echo connecting; echo \"HSM refused: key locked\" >&2; exit 7' {in}";
    EXPECT_FALSE(Sign(failing, "failing.dll", &why));
    EXPECT_NE(why.find("sh failed with exit status 7 on the runtime library: connecting; HSM refused: key locked"),
              std::string::npos)
        << why;
}

TEST_F(Signing, PemAndBothPkcs12KindsSignWithTheRightPassword) {
    const struct {
        const char* name;
        SignSettings settings;
        const char* password;
    } cases[] = {
        {"pem.dll", {"", dir->Native("leaf.pem"), dir->Native("leaf.key"), "", {}, false}, nullptr},
        {"locked.dll", {"", dir->Native("leaf.pem"), dir->Native("locked.key"), "", {}, false}, "pem secret"},
        {"modern.dll", {"", "", "", dir->Native("modern.pfx"), {}, false}, "pfx secret"},
        {"legacy.dll", {"", "", "", dir->Native("legacy.pfx"), {}, false}, "pfx secret"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnvScope password("VORLANE_SIGN_PASSWORD", c.password);
        std::string why;
        EXPECT_TRUE(Sign(c.settings, c.name, &why)) << why;
        EXPECT_TRUE(Verified(c.name));
    }
}

TEST_F(Signing, PasswordsTimestampsAndAMissingSignerGetTheirOwnMessages) {
    const SignSettings legacy{"", "", "", dir->Native("legacy.pfx"), {}, false};
    const SignSettings locked{"", dir->Native("leaf.pem"), dir->Native("locked.key"), "", {}, false};
    std::string why;
    {
        EnvScope password("VORLANE_SIGN_PASSWORD", "not it");
        EXPECT_FALSE(Sign(legacy, "wrong.dll", &why));
        EXPECT_EQ(why, "VORLANE_SIGN_PASSWORD does not open the PKCS#12 file " + dir->Native("legacy.pfx") +
                           " (or it is damaged)");
    }
    EnvScope noPassword("VORLANE_SIGN_PASSWORD", nullptr);
    EnvScope noProgram("VORLANE_OSSLSIGNCODE", nullptr);
    for (const SignSettings& settings : {legacy, locked}) {
        EXPECT_FALSE(Sign(settings, "none.dll", &why));
        EXPECT_NE(why.find("is protected by a password"), std::string::npos) << why;
        EXPECT_NE(why.find("set VORLANE_SIGN_PASSWORD"), std::string::npos) << why;
    }

    const SignSettings stamped{"", dir->Native("leaf.pem"), dir->Native("leaf.key"), "",
                               {"http://127.0.0.1:1/", "http://127.0.0.1:2/"}, false};
    EXPECT_FALSE(Sign(stamped, "stamped.dll", &why));
    EXPECT_EQ(why, "no timestamp server gave a timestamp (tried: http://127.0.0.1:1/, http://127.0.0.1:2/): check the "
                   "URL and the network, or give another --timestamp");

    {
        EnvScope elsewhere("VORLANE_OSSLSIGNCODE", dir->Native("nowhere/osslsigncode").c_str());
        EXPECT_FALSE(Sign(locked, "missing.dll", &why));
        EXPECT_EQ(why, "VORLANE_OSSLSIGNCODE=" + dir->Native("nowhere/osslsigncode") + " is not an executable program");
    }
    EnvScope path("PATH", dir->Native().c_str());
    EXPECT_FALSE(Sign(locked, "missing.dll", &why));
    EXPECT_EQ(why, "osslsigncode not found on PATH (set VORLANE_OSSLSIGNCODE)");
}

TEST_F(Signing, SourceDateEpochMakesTheSignatureReproducibleAndIsItsSigningTime) {
    const SignSettings pem{"", dir->Native("leaf.pem"), dir->Native("leaf.key"), "", {}, false};
    EnvScope epoch("SOURCE_DATE_EPOCH", "1700000000");
    std::string why;
    ASSERT_TRUE(Sign(pem, "first.dll", &why)) << why;
    sleep(1);
    ASSERT_TRUE(Sign(pem, "second.dll", &why)) << why;
    EXPECT_EQ(dir->ReadFile("out dir/first.dll"), dir->ReadFile("out dir/second.dll"));
    std::string output;
    RunProgram({"osslsigncode", "verify", "-in", dir->Native("out dir/first.dll")}, "", &output);
    EXPECT_NE(output.find("Nov 14 22:13:20 2023"), std::string::npos) << output;
    EnvScope bad("SOURCE_DATE_EPOCH", "yesterday");
    EXPECT_FALSE(Sign(pem, "bad-epoch.dll", &why));
    EXPECT_NE(why.find("SOURCE_DATE_EPOCH must be a number of seconds"), std::string::npos);
}

TEST_F(Signing, TheCertificateTableCheckReadsDirectoryFourWithinTheFile) {
    std::string why;
    ASSERT_TRUE(Sign({"", dir->Native("leaf.pem"), dir->Native("leaf.key"), "", {}, false}, "table.dll", &why)) << why;
    const std::vector<uint8_t> unsignedDll = ReadBytes(dir->Native("a.dll"));
    const std::vector<uint8_t> image = ReadBytes(dir->Native("out dir/table.dll"));
    EXPECT_FALSE(HasCertificateTable(unsignedDll.data(), unsignedDll.size(), unsignedDll.size()));
    EXPECT_TRUE(HasCertificateTable(image.data(), 4096, image.size()));
    // A table past the file's end (the signature cut off) is no signature.
    EXPECT_FALSE(HasCertificateTable(image.data(), 4096, image.size() - 1));
    EXPECT_FALSE(HasCertificateTable(image.data(), 63, image.size()));
}

// The signer's name as the inspection reads it from the certificate table:
// the common name, a UTF8String here (openssl's default), and none at all
// when those bytes are not UTF-8, whatever the name's other attributes say.
TEST_F(Signing, ASignersNameThatIsNotUtf8IsNoName) {
    std::string why;
    ASSERT_TRUE(Sign({"", dir->Native("leaf.pem"), dir->Native("leaf.key"), "", {}, false}, "named.dll", &why)) << why;
    std::vector<uint8_t> image = ReadBytes(dir->Native("out dir/named.dll"));
    ASSERT_GT(image.size(), 0x200u);
    const auto le32 = [&](size_t at) {
        return image[at] | (image[at + 1] << 8) | (image[at + 2] << 16) | (static_cast<uint32_t>(image[at + 3]) << 24);
    };
    const size_t pe = le32(60);
    const size_t tableAt = le32(pe + 24 + 144);  // PE32+: data directory 4
    const size_t tableSize = le32(pe + 24 + 148);
    ASSERT_LE(tableAt + tableSize, image.size());
    std::u16string signer;
    ASSERT_TRUE(ReadSigner(image.data() + tableAt, tableSize, &signer));
    EXPECT_EQ(signer, u"Signing Test");

    // Every copy of the name (subject and issuer alike, so the signer is still found), re-spelled.
    const std::string name = "Signing Test";
    const struct {
        const char* what;
        std::string bytes;  // as long as the name
        bool readable;
    } cases[] = {
        {"UTF-8", "Sign\xC3\xA9" "d Test", true},
        {"an overlong form", "Signing \xC0\x80st", false},
        {"a stray byte", "Signing T\xFFst", false},
        {"an encoded surrogate", "Signing \xED\xA0\x80t", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> table(image.begin() + tableAt, image.begin() + tableAt + tableSize);
        size_t copies = 0;
        for (size_t at = 0; at + name.size() <= table.size(); ++at) {
            if (std::equal(name.begin(), name.end(), table.begin() + at)) {
                ASSERT_EQ(table[at - 2], 0x0C) << "not a UTF8String";
                std::copy(c.bytes.begin(), c.bytes.end(), table.begin() + at);
                ++copies;
            }
        }
        ASSERT_GE(copies, 2u);
        signer = u"stale";
        EXPECT_EQ(ReadSigner(table.data(), table.size(), &signer), c.readable);
        if (!c.readable) EXPECT_EQ(signer, u"");
    }
}

}  // namespace
