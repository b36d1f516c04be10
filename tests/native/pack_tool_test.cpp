// vorlane-pack as a packager runs it: an output that is an input is refused
// before any work, a config file is read with its paths taken from its own
// folder and overridden by the command line, the default check refuses what
// the launcher would refuse and writes nothing (--no-check writes), the
// publisher defaults to the runtime's signer, versions are padded, --json
// tells the truth about the file, and an interruption at any point leaves no
// file behind and ends with 128 + the signal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/pe_digest.h"
#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"
#include "tools/host/output_internal.h"
#include "tools/resources/resources.h"

extern "C" {
#include "Sha256.h"
}

namespace {

using Json = nlohmann::json;

const std::string INSPECT = std::string(VORLANE_BINARY_DIR) + "/tools/vorlane-inspect";

// A launcher like the real one where packing touches it, but for a version
// block: settings 4 to 6 and the publisher "Vorlane".
std::vector<uint8_t> LauncherWithoutVersion() {
    std::vector<uint8_t> plain = MakeLauncherImageWithStrings({{4, u"FALSE"}, {5, u"NO"}, {6, u"Y"}, {7, u"Vorlane"}});
    // What a linker writes and a resource writer needs: sections aligned as
    // the file is (their addresses are their offsets), headers in 0x400 bytes.
    const size_t optional = 0x80 + 24;
    for (const auto& field : {std::pair<size_t, uint32_t>{32, 0x200}, {36, 0x200}, {60, 0x400}}) {
        for (int i = 0; i < 4; ++i) plain[optional + field.first + i] = static_cast<uint8_t>(field.second >> (8 * i));
    }
    return plain;
}

// The same with a version block (its fixed part only).
std::vector<uint8_t> LauncherImage() {
    const std::vector<uint8_t> plain = LauncherWithoutVersion();
    std::vector<uint8_t> block(92, 0);
    const char16_t key[] = u"VS_VERSION_INFO";
    block[0] = 92;  // wLength; wValueLength 52, wType 0
    block[2] = 52;
    for (size_t i = 0; i < 16; ++i) block[6 + 2 * i] = static_cast<uint8_t>(key[i]);
    const uint8_t fixed[8] = {0xBD, 0x04, 0xEF, 0xFE, 0x00, 0x00, 0x01, 0x00};
    std::copy(fixed, fixed + 8, block.begin() + 40);
    Resources resources;
    EXPECT_EQ(ReadResources(plain, &resources), ResourceResult::Ok);
    Resource version;
    version.type.id = RT_VERSION_ID;
    version.name.id = 1;
    version.language = 0x409;
    version.data = block;
    resources.push_back(version);
    std::vector<uint8_t> image;
    EXPECT_EQ(WriteResources(plain, resources, &image), ResourceResult::Ok);
    return image;
}

Json Parsed(const std::string& text) { return Json::parse(text, nullptr, false); }

std::string Text(const Json& j, const char* pointer) {
    const Json::json_pointer at(pointer);
    return j.contains(at) && j.at(at).is_string() ? j.at(at).get<std::string>() : "(none)";
}

// Files shared by the suite: certificates and runtime libraries signed with them.
class PackToolTest : public ::testing::Test {
protected:
    static TempDir* shared;
    TempDir dir;

    static std::string In(const std::string& name) { return shared->Native(name); }
    static bool Certificate(const std::string& name, const std::string& stem) {
        std::string output;
        return RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
                           "-keyout", In(stem + ".key"), "-out", In(stem + ".pem"), "-subj", "/CN=" + name,
                           "-addext", "extendedKeyUsage=codeSigning"},
                          "", &output) == 0;
    }
    static bool Signed(const DllOptions& options, const std::string& name, const std::string& stem) {
        std::string output;
        return WriteBytes(In(name + ".unsigned"), MakeRuntimeImage(options)) &&
               RunProgram({"osslsigncode", "sign", "-certs", In(stem + ".pem"), "-key", In(stem + ".key"), "-h",
                           "sha256", "-in", In(name + ".unsigned"), "-out", In(name)},
                          "", &output) == 0;
    }
    static void SetUpTestSuite() {
        shared = new TempDir;
        DllOptions foreign;
        foreign.import = "libstdc++-6.dll";
        DllOptions x86;
        x86.machine = 0x14C;
        DllOptions noInit;
        noInit.exportName = "VorlaneStart";
        const bool made = WriteBytes(In("launcher.exe"), LauncherImage()) &&
                          WriteBytes(In("app.data"), PatternBytes(50001, 9)) &&
                          WriteBytes(In("runtime.dll"), MakeRuntimeImage()) && Certificate("Vorlane", "cert") &&
                          Certificate("Example Software Ltd", "example") && Signed({}, "signed.dll", "cert") &&
                          Signed({}, "example.dll", "example") && Signed(foreign, "foreign.dll", "cert") &&
                          Signed(x86, "x86.dll", "cert") && Signed(noInit, "no-init.dll", "cert");
        ASSERT_TRUE(made) << "could not make the suite's inputs (openssl, osslsigncode)";
        // Changed after signing: a byte of its section's raw data, which the signed digest covers.
        std::vector<uint8_t> tampered = ReadBytes(In("signed.dll"));
        tampered[0x3F0] ^= 1;
        ASSERT_TRUE(WriteBytes(In("tampered.dll"), tampered));
    }
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }

    // vorlane-pack on the suite's launcher and payload; output is stdout and stderr together.
    int Pack(const std::string& runtime, const std::vector<std::string>& extra, std::string* output,
             const std::string& out = "out.exe") {
        std::vector<std::string> argv{PackToolPath(VORLANE_BINARY_DIR), "--launcher", In("launcher.exe"),
                                      "--payload", In("app.data"), "--runtime", In(runtime), "-o", dir.Native(out)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return RunProgram(argv, "", output);
    }
    Json Inspected(const std::string& path) {
        std::string json;
        RunProgram({INSPECT, "--json", path}, "", &json);
        return Parsed(json);
    }
};

TempDir* PackToolTest::shared = nullptr;

TEST_F(PackToolTest, AnOutputThatIsAnInputIsRefusedBeforeAnyWork) {
    for (const char* name : {"launcher.exe", "app.data", "signed.dll", "cert.pem", "cert.key"}) {
        ASSERT_TRUE(WriteBytes(dir.Native(name), ReadBytes(In(name))));
    }
    ASSERT_TRUE(dir.WriteFile("logo.png", "not looked at"));
    ASSERT_TRUE(dir.WriteFile("app.json", "{}"));
    ASSERT_TRUE(dir.MakeSymlink("payload-link", dir.Native("app.data")));
    const std::vector<std::string> before = dir.Listing("");

    struct Case {
        std::string output;
        std::vector<std::string> extra;
        std::string payload = "app.data";
    };
    const Case cases[] = {
        {"app.data", {}},
        {"launcher.exe", {}},
        {"signed.dll", {}},
        {"logo.png", {"--icon", dir.Native("logo.png")}},
        {"app.json", {"--config", dir.Native("app.json")}},
        {"cert.pem", {"--trust-root", dir.Native("cert.pem")}},
        {"cert.key", {"--sign-runtime", dir.Native("cert.pem"), dir.Native("cert.key")}},
        // The same file under another name, either way round.
        {"payload-link", {}},
        {"app.data", {}, "payload-link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + " from " + c.payload);
        const std::vector<uint8_t> kept = ReadBytes(dir.Native(c.output));
        std::vector<std::string> argv{PackToolPath(VORLANE_BINARY_DIR), "--launcher", dir.Native("launcher.exe"),
                                      "--payload", dir.Native(c.payload), "--runtime", dir.Native("signed.dll"),
                                      "-o", dir.Native(c.output)};
        argv.insert(argv.end(), c.extra.begin(), c.extra.end());
        std::string output;
        EXPECT_EQ(RunProgram(argv, "", &output), 1) << output;
        EXPECT_NE(output.find("packing would replace its own input"), std::string::npos) << output;
        EXPECT_EQ(ReadBytes(dir.Native(c.output)), kept);
        EXPECT_EQ(dir.Listing(""), before);
    }
}

TEST_F(PackToolTest, AConfigFileIsReadFromItsFolderAndTheCommandLineOverridesIt) {
    ASSERT_TRUE(dir.MakeDir("conf/in"));
    for (const char* name : {"launcher.exe", "app.data", "signed.dll"}) {
        ASSERT_TRUE(WriteBytes(dir.Native(std::string("conf/in/") + name), ReadBytes(In(name))));
    }
    ASSERT_TRUE(dir.MakeDir("conf/out"));
    ASSERT_TRUE(dir.WriteFile("conf/app.json",
                              R"({"launcher": "in/launcher.exe", "payload": "in/app.data", "runtime": "in/signed.dll",
                                  "output": "out/app.exe", "setting4": "from the file", "setting5": "file five",
                                  "file-version": "2.5", "quiet": true, "no-pin": false})"));
    // Started from another folder: the file's paths stay its own.
    const std::string pack = PackToolPath(VORLANE_BINARY_DIR);
    std::string output;
    ASSERT_EQ(RunProgram({pack, "--config", "conf/app.json", "--setting5", "from the command line"}, dir.Native(),
                         &output),
              0)
        << output;
    EXPECT_EQ(output, "");  // "quiet" came from the file
    Json report = Inspected(dir.Native("conf/out/app.exe"));
    EXPECT_EQ(Text(report, "/launcher/strings/4"), "from the file");
    EXPECT_EQ(Text(report, "/launcher/strings/5"), "from the command line");
    EXPECT_EQ(Text(report, "/launcher/fileVersion"), "2.5.0.0");

    ASSERT_EQ(RunProgram({pack, "--config", "conf/app.json", "-o", "cli.exe"}, dir.Native(), &output), 0) << output;
    EXPECT_TRUE(dir.Exists("cli.exe"));
    EXPECT_EQ(dir.Listing("conf/out"), std::vector<std::string>{"app.exe"});

    struct Bad {
        std::string json;
        std::string message;
    };
    const Bad bad[] = {
        {R"({"payload": "in/app.data", "pay-load": "x"})", "\"pay-load\" is not an option"},
        {R"({"version": "1.2"})", "the version block's key is \"file-version\""},
        {R"({"no-check": "yes"})", "\"no-check\" must be true or false"},
        {R"({"sign-runtime": "in/cert.pem"})", "must be an array of two paths"},
        {R"({"payload": })", "parse error"},
        {R"(["payload"])", "one JSON object"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.json);
        ASSERT_TRUE(dir.WriteFile("conf/bad.json", b.json));
        EXPECT_EQ(RunProgram({pack, "--config", "conf/bad.json", "-o", "bad.exe"}, dir.Native(), &output), 2)
            << output;
        EXPECT_NE(output.find(b.message), std::string::npos) << output;
        EXPECT_FALSE(dir.Exists("bad.exe"));
    }
}

TEST_F(PackToolTest, TheDefaultCheckRefusesWhatTheLauncherWouldRefuseAndWritesNothing) {
    struct Case {
        std::string runtime;
        std::vector<std::string> extra;
        std::string verdict;
    };
    const Case cases[] = {
        {"signed.dll", {"--publisher", "Someone Else"},
         "\"VorlaneStub.dll is signed by Vorlane, expected Someone Else.\" (stage 14), exit code 5"},
        {"runtime.dll", {}, "\"VorlaneStub.dll is not signed.\" (stage 14), exit code 5"},
        {"foreign.dll", {}, "\"Failed to load VorlaneStub DLL\" (stage 15), exit code 6"},
        {"x86.dll", {}, "\"Failed to load VorlaneStub DLL\" (stage 15), exit code 6"},
        {"no-init.dll", {}, "\"Failed to load VorlaneStub DLL\" (stage 15), exit code 6"},
        {"signed.dll", {"--setting4", ""}, "ends without a message (stage 15), exit code 6"},
        {"tampered.dll", {}, "\"VorlaneStub.dll has an invalid signature (0x80096010).\" (stage 14), exit code 5"},
        // Only the package's own check verifies the chain.
        {"signed.dll", {"--trust-root", In("example.pem")},
         "\"VorlaneStub.dll is signed by Vorlane, whose certificate is not trusted (0x800B0109).\" (stage 14)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runtime + ": " + c.verdict);
        std::string output;
        EXPECT_EQ(Pack(c.runtime, c.extra, &output), 3) << output;
        EXPECT_NE(output.find("the launcher would refuse this package: " + c.verdict), std::string::npos) << output;
        EXPECT_NE(output.find("nothing was written"), std::string::npos) << output;
        EXPECT_EQ(dir.Listing(""), std::vector<std::string>{});

        std::vector<std::string> unchecked = c.extra;
        if (unchecked.size() == 2 && unchecked[0] == "--trust-root") unchecked.clear();
        unchecked.insert(unchecked.end(), {"--no-check", "-q"});
        EXPECT_EQ(Pack(c.runtime, unchecked, &output), 0) << output;
        EXPECT_NE(output.find("warning: --no-check"), std::string::npos) << output;  // even with -q
        EXPECT_EQ(dir.Listing(""), std::vector<std::string>{"out.exe"});
        std::remove(dir.Native("out.exe").c_str());
    }
}

TEST_F(PackToolTest, ThePublisherIsTheSignersAndVersionsArePadded) {
    std::string output;
    ASSERT_EQ(Pack("example.dll", {"-q"}, &output), 0) << output;
    Json report = Inspected(dir.Native("out.exe"));
    EXPECT_EQ(Text(report, "/launcher/strings/7"), "Example Software Ltd");
    EXPECT_EQ(report["verdict"]["ok"], true);

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string version;  // "" when nothing is written
        std::string message;
    };
    const Case cases[] = {
        {{"--file-version", "3"}, 0, "3.0.0.0", ""},
        {{"--file-version", "1.2.3.4"}, 0, "1.2.3.4", ""},
        {{"--version", "1.2.3"}, 0, "1.2.3.0", "--version 1.2.3 is the old spelling of --file-version"},
        {{"--version=7.1"}, 0, "7.1.0.0", "use --file-version"},
        {{"--file-version", "1.2.3.4.5"}, 2, "", "must be one to four numbers"},
        {{"--file-version", "1.65536"}, 2, "", "each 0 to 65535"},
        {{"--version"}, 0, "", "vorlane-pack "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        std::remove(dir.Native("v.exe").c_str());
        EXPECT_EQ(Pack("signed.dll", c.args, &output, "v.exe"), c.status) << output;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        EXPECT_EQ(dir.Exists("v.exe"), !c.version.empty());
        if (!c.version.empty()) EXPECT_EQ(Text(Inspected(dir.Native("v.exe")), "/launcher/fileVersion"), c.version);
    }
}

TEST_F(PackToolTest, WithoutVersionOptionsTheVersionBlockNamesThePackagersProduct) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        // ProductName, FileDescription, CompanyName, OriginalFilename; "(none)" for a string left out.
        std::vector<std::string> strings;
    };
    const Case cases[] = {
        {{}, "My Viewer.exe", {"My Viewer", "My Viewer", "Example Software Ltd", "My Viewer.exe"}},
        {{"--publisher", "Example Software Ltd"}, "viewer.EXE", {"viewer", "viewer", "Example Software Ltd",
                                                                 "viewer.EXE"}},
        {{}, "tool", {"tool", "tool", "Example Software Ltd", "tool"}},
        // What is given wins, an empty text included (it leaves the string out).
        {{"--product-name", "Viewer Pro", "--company-name", "", "--original-filename", "viewer.exe"}, "App.exe",
         {"Viewer Pro", "App", "(none)", "viewer.exe"}},
        {{"--file-description", "The viewer", "--company-name", "Example Holdings"}, "App.exe",
         {"App", "The viewer", "Example Holdings", "App.exe"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        std::string output;
        std::vector<std::string> args = c.args;
        args.push_back("-q");
        ASSERT_EQ(Pack("example.dll", args, &output, c.out), 0) << output;
        const Json report = Inspected(dir.Native(c.out));
        EXPECT_EQ((std::vector<std::string>{Text(report, "/launcher/versionStrings/ProductName"),
                                            Text(report, "/launcher/versionStrings/FileDescription"),
                                            Text(report, "/launcher/versionStrings/CompanyName"),
                                            Text(report, "/launcher/versionStrings/OriginalFilename")}),
                  c.strings);
        EXPECT_EQ(Text(report, "/launcher/versionStrings/LegalCopyright"), "(none)");
    }

    // A launcher without a version block gets none.
    std::string output;
    ASSERT_TRUE(WriteBytes(dir.Native("plain.exe"), LauncherWithoutVersion()));
    ASSERT_EQ(Pack("example.dll", {"-q", "--launcher", dir.Native("plain.exe")}, &output), 0) << output;
    EXPECT_TRUE(Inspected(dir.Native("out.exe"))["launcher"]["fileVersion"].is_null());
}

TEST_F(PackToolTest, TheJsonSummaryDescribesTheWrittenFile) {
    const std::vector<uint8_t> runtime = ReadBytes(In("signed.dll"));
    const MemoryFile bytes{runtime.data(), runtime.size()};
    Pin pin{};
    ASSERT_EQ(AuthenticodeDigest(MemoryReader(&bytes), PlatDigestKind::Sha256, &pin), PeDigestResult::Ok);
    char16_t pinText[160];
    ASSERT_TRUE(FormatPin(pin, pinText, 160));
    const std::string expectedPin(pinText, pinText + std::char_traits<char16_t>::length(pinText));

    struct Case {
        std::vector<std::string> extra;
        Json pin;
        bool checked;
    };
    const Case cases[] = {{{}, expectedPin, true}, {{"--no-pin"}, nullptr, true}, {{"--no-check"}, expectedPin, false}};
    for (const Case& c : cases) {
        std::vector<std::string> args{"--json", "-q"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        std::string output;
        ASSERT_EQ(Pack("signed.dll", args, &output), 0) << output;
        const size_t start = output.find('{');  // after --no-check's warning
        ASSERT_NE(start, std::string::npos) << output;
        const Json summary = Parsed(output.substr(start));
        ASSERT_FALSE(summary.is_discarded()) << output;

        const std::vector<uint8_t> file = ReadBytes(dir.Native("out.exe"));
        const std::vector<uint8_t> payload = ReadBytes(In("app.data"));
        uint8_t digest[32];
        Sha256Prepare();
        CSha256 sha;
        Sha256_Init(&sha);
        Sha256_Update(&sha, file.data(), file.size());
        Sha256_Final(&sha, digest);
        char hex[65];
        for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);

        EXPECT_EQ(summary["output"], dir.Native("out.exe"));
        EXPECT_EQ(summary["size"], file.size());
        EXPECT_EQ(summary["sha256"], std::string(hex));
        const uint64_t offset = summary["payloadOffset"].get<uint64_t>();
        ASSERT_LE(offset + payload.size(), file.size());
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), file.begin() + static_cast<long>(offset)));
        EXPECT_EQ(summary["payloadSize"], payload.size());
        EXPECT_EQ(summary["pin"], c.pin);
        EXPECT_EQ(summary["publisher"], "Vorlane");
        EXPECT_EQ(summary["checked"], c.checked);
        EXPECT_EQ(summary["signed"], false);
    }
}

TEST_F(PackToolTest, SignExeSignsThePackageAndTheLauncherStillFindsItsArchive) {
    // A runtime signed already is packed as it is; --sign-runtime's key then signs the package only.
    std::string output;
    ASSERT_EQ(Pack("signed.dll", {"--sign-runtime", In("cert.pem"), In("cert.key"), "--sign-exe", "--json", "-q"},
                   &output),
              0)
        << output;
    const Json summary = Parsed(output);
    ASSERT_FALSE(summary.is_discarded()) << output;
    EXPECT_EQ(summary["signed"], true);
    EXPECT_EQ(summary["size"], ReadBytes(dir.Native("out.exe")).size());
    std::string verified;
    RunProgram({"osslsigncode", "verify", "-CAfile", In("cert.pem"), "-in", dir.Native("out.exe")}, "", &verified);
    EXPECT_NE(verified.find("Signature verification: ok"), std::string::npos) << verified;

    // The certificate table follows the archive; the payload stays where the summary says.
    Json report = Inspected(dir.Native("out.exe"));
    EXPECT_EQ(report["verdict"]["ok"], true);
    EXPECT_EQ(report["archive"]["certificateTableAfter"], true);
    EXPECT_EQ(report["payload"]["offset"], summary["payloadOffset"]);
    EXPECT_EQ(dir.Listing(""), std::vector<std::string>{"out.exe"});
}

// Starts vorlane-pack with its output in out/, its messages in a log, the
// extra arguments after the usual ones and the environment's variables set
// (NAME=VALUE each).
pid_t StartPack(const TempDir& dir, const std::string& runtime, const std::string& payload,
                const std::vector<std::string>& extra = {"--unchecked-runtime"},
                const std::vector<std::string>& environment = {}) {
    std::vector<std::string> argv{PackToolPath(VORLANE_BINARY_DIR), "--launcher", dir.Native("launcher.exe"),
                                  "--payload", payload, "--runtime", runtime, "-o", dir.Native("out/out.exe")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string log = dir.Native("pack.log");
    const pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& variable : environment) putenv(const_cast<char*>(variable.c_str()));
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// The size of the package a running pack writes into out/ (unnamed: found
// among its open files), -1 while there is none.
long long TemporarySize(const TempDir& dir, pid_t pack) {
    const std::string fds = "/proc/" + std::to_string(pack) + "/fd";
    const std::string out = dir.Native("out") + "/";
    for (const std::string& fd : NamesIn(fds)) {
        char target[4096];
        const ssize_t n = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)).rfind(out, 0) != 0) continue;
        struct stat st;
        if (stat((fds + "/" + fd).c_str(), &st) == 0) return st.st_size;
    }
    return -1;
}

// Waits until a pack reaches a point (its package's size in range); false,
// the pack killed, when it ended first or never got there.
bool ReachesSize(const TempDir& dir, pid_t pack, long long low, long long high) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        const long long size = TemporarySize(dir, pack);
        if (size >= low && size < high) return true;
        int status = 0;
        if (waitpid(pack, &status, WNOHANG) == pack) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    kill(pack, SIGKILL);
    waitpid(pack, nullptr, 0);
    return false;
}

TEST_F(PackToolTest, AnInterruptionAtAnyPointLeavesNothingBehind) {
    ASSERT_TRUE(WriteBytes(dir.Native("launcher.exe"), ReadBytes(In("launcher.exe"))));
    // A runtime whose compression takes a good part of a second, and a large
    // payload (sparse: cheap to make) whose copy takes as long.
    ASSERT_TRUE(WriteBytes(dir.Native("big-runtime.dll"), PatternBytes(6u << 20, 4)));
    const uint64_t payloadSize = 384ull << 20;
    ASSERT_TRUE(dir.WriteFile("payload.bin", "x"));
    ASSERT_EQ(truncate(dir.Native("payload.bin").c_str(), static_cast<off_t>(payloadSize)), 0);
    ASSERT_TRUE(dir.MakeDir("out"));

    enum Point { Compressing, Copying };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const Point point : {Compressing, Copying}) {
            SCOPED_TRACE(std::string(strsignal(signal)) + (point == Compressing ? " compressing" : " copying"));
            const pid_t pid = StartPack(dir, dir.Native("big-runtime.dll"), dir.Native("payload.bin"));
            ASSERT_GT(pid, 0);
            // The package is made empty before the runtime is compressed;
            // its first bytes come once the compression is done.
            const bool reached = point == Compressing
                                     ? ReachesSize(dir, pid, 0, 1)
                                     : ReachesSize(dir, pid, 16ll << 20, static_cast<long long>(payloadSize));
            ASSERT_TRUE(reached) << "the point was never seen: " << dir.ReadFile("pack.log");
            kill(pid, signal);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal)
                << status << " " << dir.ReadFile("pack.log");
            EXPECT_NE(dir.ReadFile("pack.log").find("interrupted (signal " + std::to_string(signal) + ")"),
                      std::string::npos)
                << dir.ReadFile("pack.log");
            EXPECT_EQ(dir.Listing("out"), std::vector<std::string>{});
        }
    }
}

// Every file under a folder, links not followed.
std::vector<std::string> FilesUnder(const std::string& folder) {
    std::vector<std::string> files;
    for (const std::string& name : NamesIn(folder)) {
        const std::string path = folder + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            const std::vector<std::string> inner = FilesUnder(path);
            files.insert(files.end(), inner.begin(), inner.end());
        } else if (S_ISREG(st.st_mode)) {
            files.push_back(path);
        }
    }
    return files;
}

bool Holds(const std::string& path, const std::string& needle) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    return std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()) != bytes.end();
}

// A pack killed outright (SIGKILL: out of memory, a cancelled CI job) while
// it copies the payload, and while it signs the package with a password:
// nothing of the package is left under a name, the password is in no file
// of the output folder or the temporary folder, and the next pack removes
// the work folder the killed one left (the signer needs names there).
TEST_F(PackToolTest, AHardKillLeavesNoPackageNorPasswordAndTheNextPackCleansUp) {
    ASSERT_TRUE(WriteBytes(dir.Native("launcher.exe"), ReadBytes(In("launcher.exe"))));
    const uint64_t payloadSize = 256ull << 20;
    ASSERT_TRUE(dir.WriteFile("payload.bin", "x"));
    ASSERT_EQ(truncate(dir.Native("payload.bin").c_str(), static_cast<off_t>(payloadSize)), 0);
    ASSERT_TRUE(dir.MakeDir("out") && dir.MakeDir("tmp") && dir.MakeDir("marks"));
    ASSERT_TRUE(dir.WriteFile("key.pfx", "never read"));
    const std::string password = "hard-kill pa55word";
    // osslsigncode as it would be called; it says whether the password came
    // through a pipe (never writing it), then takes its time.
    const char* const script = R"sh(#!/bin/sh
while [ $# -gt 0 ]; do
  if [ "$1" = -readpass ]; then source="$2"; fi
  shift
done
if [ -p "$source" ] && [ "$(cat "$source")" = "$EXPECTED_PASSWORD" ]; then echo pipe > "$MARKS/how"; fi
echo $$ > "$MARKS/signer"
exec sleep 120
)sh";
    ASSERT_TRUE(dir.WriteFile("slow-signer", script));
    ASSERT_TRUE(dir.SetMode("slow-signer", 0755));
    const std::vector<std::string> environment = {
        "TMPDIR=" + dir.Native("tmp"), "VORLANE_OSSLSIGNCODE=" + dir.Native("slow-signer"),
        "VORLANE_SIGN_PASSWORD=" + password, "EXPECTED_PASSWORD=" + password, "MARKS=" + dir.Native("marks")};
    const std::vector<std::string> signing = {"--sign-pkcs12", dir.Native("key.pfx"), "--sign-exe"};
    const auto passwordAnywhere = [&]() {
        std::vector<std::string> files = FilesUnder(dir.Native("out"));
        const std::vector<std::string> temporary = FilesUnder(dir.Native("tmp"));
        files.insert(files.end(), temporary.begin(), temporary.end());
        std::string found;
        for (const std::string& file : files) {
            if (Holds(file, password)) found += file + " ";
        }
        return found;
    };

    // Killed in the copy: the package had no name to leave behind.
    pid_t pack = StartPack(dir, In("signed.dll"), dir.Native("payload.bin"), signing, environment);
    ASSERT_TRUE(ReachesSize(dir, pack, 16ll << 20, static_cast<long long>(payloadSize)))
        << "the copy was never seen: " << dir.ReadFile("pack.log");
    kill(pack, SIGKILL);
    ASSERT_EQ(waitpid(pack, nullptr, 0), pack);
    EXPECT_EQ(dir.Listing("out"), std::vector<std::string>{});
    EXPECT_EQ(dir.Listing("tmp"), std::vector<std::string>{});

    // Killed while the signer works on the whole package.
    pack = StartPack(dir, In("signed.dll"), dir.Native("payload.bin"), signing, environment);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!dir.Exists("marks/signer") && std::chrono::steady_clock::now() < deadline &&
           waitpid(pack, nullptr, WNOHANG) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(dir.Exists("marks/signer")) << dir.ReadFile("pack.log");
    kill(pack, SIGKILL);
    ASSERT_EQ(waitpid(pack, nullptr, 0), pack);
    const int signer = std::atoi(dir.ReadFile("marks/signer").c_str());
    EXPECT_EQ(dir.ReadFile("marks/how"), "pipe\n") << "the signer did not get the password through a pipe";
    EXPECT_EQ(dir.Listing("out"), std::vector<std::string>{});
    const std::vector<std::string> left = dir.Listing("tmp");
    ASSERT_EQ(left.size(), 1u);
    uint32_t owner = 0;
    EXPECT_TRUE(ToolParseWorkFolderName(left[0], &owner) && owner == static_cast<uint32_t>(pack)) << left[0];
    EXPECT_EQ(passwordAnywhere(), "");
    if (signer > 0) kill(-signer, SIGKILL);  // the orphaned signer's group

    // The next pack, signer or not, takes what the killed one left.
    std::string output;
    EXPECT_EQ(RunProgram({"env", "TMPDIR=" + dir.Native("tmp"), PackToolPath(VORLANE_BINARY_DIR), "--launcher",
                          dir.Native("launcher.exe"), "--payload", In("app.data"), "--runtime", In("signed.dll"),
                          "-o", dir.Native("out/out.exe")},
                         "", &output),
              0)
        << output;
    EXPECT_NE(output.find("removed 1 temporary"), std::string::npos) << output;
    EXPECT_EQ(dir.Listing("out"), std::vector<std::string>{"out.exe"});
    EXPECT_EQ(dir.Listing("tmp"), std::vector<std::string>{});
}

// --sign-timeout: a signer still running then is ended with what it started,
// the pack fails with exit 1 naming the timeout, and writes nothing.
TEST_F(PackToolTest, ASignerPastItsTimeoutIsEndedWithItsProcessesAndNothingIsWritten) {
    ASSERT_TRUE(dir.MakeDir("out") && dir.MakeDir("tmp"));
    ASSERT_TRUE(dir.WriteFile("hung-signer", "#!/bin/sh\nsleep 300 & echo $! > \"$0.grandchild\"\n"
                                             "trap '' TERM\nwhile :; do sleep 1; done\n"));
    ASSERT_TRUE(dir.SetMode("hung-signer", 0755));
    std::string output;
    const auto start = std::chrono::steady_clock::now();
    const int status = RunProgram({"env", "TMPDIR=" + dir.Native("tmp"), PackToolPath(VORLANE_BINARY_DIR),
                                   "--launcher", In("launcher.exe"), "--payload", In("app.data"), "--runtime",
                                   In("runtime.dll"), "-o", dir.Native("out/out.exe"), "--sign-command",
                                   dir.Native("hung-signer") + " {in} {out}", "--sign-timeout", "1"},
                                  "", &output);
    EXPECT_EQ(status, 1) << output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_NE(output.find("was still running after 1 seconds (--sign-timeout)"), std::string::npos) << output;
    EXPECT_EQ(dir.Listing("out"), std::vector<std::string>{});
    EXPECT_EQ(dir.Listing("tmp"), std::vector<std::string>{});
    const std::string grandchild = dir.ReadFile("hung-signer.grandchild");
    ASSERT_FALSE(grandchild.empty());
    EXPECT_TRUE(ProcessEnds(std::atoi(grandchild.c_str()))) << "the signer's grandchild outlived the timeout";

    for (const char* bad : {"0", "-5", "ten", "", "9999999999", "1.5"}) {
        EXPECT_EQ(Pack("runtime.dll", {"--sign-timeout", bad}, &output), 2) << bad;
        EXPECT_NE(output.find("--sign-timeout"), std::string::npos) << output;
    }
    ASSERT_TRUE(dir.WriteFile("app.json", R"({"sign-timeout": 30, "quiet": true})"));
    EXPECT_EQ(Pack("runtime.dll", {"--config", dir.Native("app.json"), "--unchecked-runtime"}, &output), 0)
        << output;
}

}  // namespace
