// vorlane-inspect and the packager's side of vorlane-pack, run as the packager
// runs them: the JSON parses (by Python's own parser) and holds the figures of
// the text report, exit statuses follow the launcher's codes, and the pack
// tool refuses bad inputs without leaving an output file behind (its own
// check, options and interruptions: pack_tool_test.cpp).
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"
#include "tools/toolkit_version.h"

namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Hex32(uint64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Python's json module reads the document and flattens it to "a.b[0].c=<JSON value>" lines.
const char FLATTEN[] =
    "import json,sys\n"
    "def walk(p,v):\n"
    "  if isinstance(v,dict):\n"
    "    for k,x in v.items(): walk(p+'.'+k if p else k,x)\n"
    "  elif isinstance(v,list):\n"
    "    print('%s.length=%d'%(p,len(v)))\n"
    "    for i,x in enumerate(v): walk('%s[%d]'%(p,i),x)\n"
    "  else: print('%s=%s'%(p,json.dumps(v)))\n"
    "walk('',json.load(open(sys.argv[1],encoding='utf-8')))\n";

class Packager : public ::testing::Test {
protected:
    TempDir dir;
    const std::string inspect = std::string(VORLANE_BINARY_DIR) + "/tools/vorlane-inspect";
    const std::vector<uint8_t> payload = PatternBytes(70001, 3);
    // Settings and publisher as the launcher's defaults.
    const std::vector<uint8_t> launcher =
        MakeLauncherImageWithStrings({{4, u"FALSE"}, {5, u"NO"}, {6, u"Y"}, {7, u"Vorlane"}});

    void SetUp() override {
        ASSERT_EQ(access(inspect.c_str(), X_OK), 0) << inspect << " is missing: build the vorlane-inspect target";
        ASSERT_TRUE(WriteBytes(dir.Native("launcher.exe"), launcher));
        ASSERT_TRUE(WriteBytes(dir.Native("app.data"), payload));
        ASSERT_TRUE(WriteBytes(dir.Native("runtime.dll"), MakeRuntimeImage()));
        // A self-signed code-signing certificate named as the publisher, and the runtime signed with it.
        ASSERT_TRUE(MakeCertificate("Vorlane", "cert"));
        ASSERT_TRUE(Sign("runtime.dll", "signed.dll", "cert"));
    }
    // A self-signed certificate; usage is its extended key usage ("": none at all).
    bool MakeCertificate(const std::string& name, const std::string& stem, const std::string& usage = "codeSigning") {
        std::vector<std::string> argv{"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days",
                                      "2", "-keyout", dir.Native(stem + ".key"), "-out", dir.Native(stem + ".pem"),
                                      "-subj", "/CN=" + name};
        if (!usage.empty()) argv.insert(argv.end(), {"-addext", "extendedKeyUsage=" + usage});
        std::string output;
        return RunProgram(argv, "", &output) == 0;
    }
    bool Sign(const std::string& in, const std::string& out, const std::string& stem) {
        std::string output;
        return RunProgram({"osslsigncode", "sign", "-certs", dir.Native(stem + ".pem"), "-key",
                           dir.Native(stem + ".key"), "-h", "sha256", "-in", dir.Native(in), "-out", dir.Native(out)},
                          "", &output) == 0;
    }

    int Pack(const std::string& runtime, const std::vector<std::string>& extra, std::string* output,
             const std::string& out = "out.exe") {
        std::vector<std::string> argv{PackToolPath(VORLANE_BINARY_DIR), "--launcher", dir.Native("launcher.exe"),
                                      "--payload", dir.Native("app.data"), "--runtime", dir.Native(runtime),
                                      "-o", dir.Native(out), "--no-pin"};  // its note is counted below
        argv.insert(argv.end(), extra.begin(), extra.end());
        return RunProgram(argv, "", output);
    }
    std::vector<uint8_t> Packed(const std::string& out = "out.exe") {
        std::string output;
        EXPECT_EQ(Pack("signed.dll", {"--quiet"}, &output, out), 0) << output;
        return ReadBytes(dir.Native(out));
    }
    int Inspect(const std::vector<std::string>& args, std::string* output) {
        std::vector<std::string> argv{inspect};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, "", output);
    }
    std::map<std::string, std::string> Json(const std::string& exe, const std::vector<std::string>& args = {}) {
        std::string json;
        std::vector<std::string> argv = args;
        argv.insert(argv.end(), {"--json", exe});
        Inspect(argv, &json);
        EXPECT_TRUE(dir.WriteFile("report.json", json));
        EXPECT_TRUE(dir.WriteFile("flatten.py", FLATTEN));
        std::string flat;
        EXPECT_EQ(RunProgram({"python3", dir.Native("flatten.py"), dir.Native("report.json")}, "", &flat), 0)
            << "not JSON:\n" << json << flat;
        std::map<std::string, std::string> values;
        size_t at = 0;
        while (at < flat.size()) {
            size_t end = flat.find('\n', at);
            if (end == std::string::npos) end = flat.size();
            const std::string line = flat.substr(at, end - at);
            const size_t eq = line.find('=');
            if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
            at = end + 1;
        }
        return values;
    }
    std::vector<std::string> Leftovers() {
        std::vector<std::string> names;
        DIR* d = opendir(dir.Native().c_str());
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.find("out.exe") != std::string::npos) names.push_back(name);
        }
        closedir(d);
        return names;
    }
};

// The package's Authenticode certificate table: its file offset and size (a MakeRuntimeImage image).
std::pair<size_t, size_t> CertificateTable(const std::vector<uint8_t>& image) {
    const size_t entry = 0x98 + 112 + 4 * 8;
    auto at = [&](size_t i) {
        return static_cast<size_t>(image[i] | (image[i + 1] << 8) | (image[i + 2] << 16) | (image[i + 3] << 24));
    };
    return {at(entry), at(entry + 4)};
}

std::string Unquoted(const std::string& json) {
    return json.size() >= 2 && json.front() == '"' ? json.substr(1, json.size() - 2) : json;
}

TEST_F(Packager, JsonParsesAndHoldsTheFiguresOfTheText) {
    const std::vector<uint8_t> sound = Packed();
    const size_t start = FindStartHeaderIn(sound);
    ASSERT_EQ(start, launcher.size());

    std::vector<uint8_t> trailing = sound;
    trailing.insert(trailing.end(), 4000, 0);
    std::vector<uint8_t> flipped = sound;
    flipped[start + 32 + 1234] ^= 0x10;
    std::vector<uint8_t> runtimeBroken = sound;
    runtimeBroken[start + 32 + payload.size() + 40] ^= 0xFF;
    ASSERT_TRUE(WriteBytes(dir.Native("trailing.exe"), trailing));
    ASSERT_TRUE(WriteBytes(dir.Native("flipped.exe"), flipped));
    ASSERT_TRUE(WriteBytes(dir.Native("runtime-broken.exe"), runtimeBroken));

    for (const char* name : {"out.exe", "trailing.exe", "flipped.exe", "runtime-broken.exe"}) {
        SCOPED_TRACE(name);
        std::map<std::string, std::string> j = Json(dir.Native(name));
        std::string text;
        Inspect({dir.Native(name)}, &text);
        auto has = [&](const std::string& needle) {
            EXPECT_NE(text.find(needle), std::string::npos) << "text lacks: " << needle << "\n" << text;
        };
        EXPECT_EQ(j["formatVersion"], "2");
        // The path as the launcher would see it: Z:\tmp\..., each backslash escaped in JSON.
        std::string wide = "Z:";
        std::string escaped = "\"Z:";
        for (const char c : dir.Native(name)) {
            wide += c == '/' ? '\\' : c;
            escaped += c == '/' ? std::string("\\\\") : std::string(1, c);
        }
        EXPECT_EQ(j["file"], escaped + "\"");
        has("file             " + wide + "\n");
        has("search start " + j["hostImage.searchStart"] + ", file size " + j["hostImage.fileSize"] + " bytes");
        EXPECT_EQ(j["archive.start"], std::to_string(start));
        EXPECT_EQ(j["archive.gap"], "0");
        has("starts at " + j["archive.start"] + ", right after the image");
        has("ends at " + j["archive.end"]);
        EXPECT_EQ(std::stoull(j["archive.end"]) + std::stoull(j["archive.bytesAfter"]),
                  std::stoull(j["hostImage.fileSize"]));
        ASSERT_EQ(j["entries.length"], "2");
        for (int i = 0; i < 2; ++i) {
            const std::string e = "entries[" + std::to_string(i) + "].";
            has("#" + std::to_string(i) + "  " + Unquoted(j[e + "name"]));
            has(j[e + "size"] + " bytes  folder " + j[e + "folder"]);
            has("CRC " + Hex32(std::stoull(j[e + "crc"])));
        }
        EXPECT_EQ(j["entries[0].coders[0]"], "\"Copy\"");
        EXPECT_EQ(j["entries[1].coders[0]"], "\"BCJ2\"");
        EXPECT_EQ(j["entries[1].coders.length"], "4");
        has("  BCJ2 LZMA LZMA LZMA  ");
        EXPECT_EQ(j["payload.offset"], std::to_string(start + 32));
        EXPECT_EQ(j["payload.size"], std::to_string(payload.size()));
        has("payload          entry #0 at " + j["payload.offset"] + ", " + j["payload.size"] + " bytes: ");

        const bool ok = j["verdict.ok"] == "true";
        EXPECT_EQ(ok, std::string(name) == "out.exe" || std::string(name) == "trailing.exe");
        if (ok) {
            // No root given: the verdict says it holds only where the chain is trusted.
            has("\nverdict          ok where the signature's chain is trusted (not checked)\n");
            EXPECT_EQ(j["verdict.chainAssumed"], "true");
            EXPECT_EQ(j["verdict.message"], "null");
            EXPECT_EQ(j["payload.result"], "\"ok\"");
            EXPECT_EQ(j["entries[1].decode.image.exportsInit"], "true");
        } else {
            has("\nverdict          \"" + Unquoted(j["verdict.message"]) + "\" (stage " + j["verdict.stage"] +
                "), exit code " + j["verdict.exitCode"]);
        }
    }
    EXPECT_EQ(Json(dir.Native("trailing.exe"))["archive.bytesAfter"], "4000");
    EXPECT_EQ(Json(dir.Native("flipped.exe"))["payload.result"], "\"crc error\"");
    std::map<std::string, std::string> broken = Json(dir.Native("runtime-broken.exe"));
    EXPECT_EQ(broken["entries[1].decode.crcMatches"], "false");
    EXPECT_EQ(broken["runtime.installable"], "false");
}

TEST_F(Packager, ExitStatusIsTheLowByteOfTheLaunchersCode) {
    const std::vector<uint8_t> sound = Packed();
    const size_t start = FindStartHeaderIn(sound);
    ASSERT_NE(start, SIZE_MAX);
    std::vector<uint8_t> flipped = sound;
    flipped[start + 32] ^= 1;
    std::vector<uint8_t> runtimeBroken = sound;
    runtimeBroken[start + 32 + payload.size() + 40] ^= 0xFF;
    ASSERT_TRUE(WriteBytes(dir.Native("flipped.exe"), flipped));
    ASSERT_TRUE(WriteBytes(dir.Native("runtime-broken.exe"), runtimeBroken));
    ASSERT_TRUE(dir.WriteFile("notes.exe", "not an executable at all, just text"));
    std::vector<uint8_t> lateHeader = sound;
    lateHeader[60] = 0xA0;  // e_lfanew 4000: no room for the section table in the probe's block
    lateHeader[61] = 0x0F;
    ASSERT_TRUE(WriteBytes(dir.Native("late-header.exe"), lateHeader));

    // Deep enough that its Z:\ form reaches the launcher's 2048-character limit.
    std::string deep = "deep";
    while (deep.size() < 2100) deep += "/" + std::string(200, 'd');
    ASSERT_TRUE(dir.MakeDir(deep));
    ASSERT_TRUE(WriteBytes(dir.Native(deep + "/app.exe"), sound));

    struct Case {
        std::string file;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"out.exe", 0, ""},
        {"launcher.exe", 1, "\"7z archive not found\" (stage 5), exit code 1"},
        {"notes.exe", 254, "\"Cannot determine EXE size\" (stage 3), exit code -2 (status 254)"},
        {"late-header.exe", 254, "the launcher's probe: its PE header starts at or past byte 3832"},
        {"flipped.exe", 3, "\"Vorlane.Bin CRC error\" (stage 9), exit code 3"},
        {"runtime-broken.exe", 5, "\"Cannot check VorlaneStub.dll: the file cannot be opened (error 2).\""},
        {deep + "/app.exe", 255, "\"Cannot resolve own module path\" (stage 1), exit code -1 (status 255)"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(Inspect({dir.Native(c.file)}, &output), c.status) << output;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
    }

    // Usage errors are the caller's, never a verdict.
    const std::vector<std::vector<std::string>> usage = {
        {}, {"--jsn", dir.Native("out.exe")}, {dir.Native("missing.exe")}, {dir.Native("deep")},
        {dir.Native("out.exe"), dir.Native("flipped.exe")}};
    for (const auto& args : usage) {
        std::string output;
        EXPECT_EQ(Inspect(args, &output), 64) << output;
        EXPECT_NE(output.find("usage: vorlane-inspect"), std::string::npos) << output;
    }
    std::string help;
    EXPECT_EQ(Inspect({"--help"}, &help), 0);
    std::string version;
    EXPECT_EQ(Inspect({"--version"}, &version), 0);
    EXPECT_EQ(version, std::string("vorlane-inspect ") + TOOLKIT_VERSION + "\n");
}

TEST_F(Packager, PackRefusesWhatCannotBeARuntimeOrBeSignedWithoutLeavingOutput) {
    DllOptions exe;
    exe.dll = false;
    ASSERT_TRUE(WriteBytes(dir.Native("program.exe"), MakeRuntimeImage(exe)));
    ASSERT_TRUE(dir.WriteFile("text.dll", "MZ? no, just text"));

    struct Case {
        std::string runtime;
        std::vector<std::string> extra;
        std::string message;
    };
    const Case cases[] = {
        {"text.dll", {}, "is not a PE image"},
        {"program.exe", {}, "is an executable, not a DLL"},
        {"runtime.dll", {"--sign-runtime", dir.Native("none.pem"), dir.Native("none.key")},
         "signing certificate not found"},
        // Nothing listens on the loopback's discard port: the server is named, not OpenSSL's error stack.
        {"runtime.dll", {"--sign-runtime", dir.Native("cert.pem"), dir.Native("cert.key"), "--timestamp",
                         "http://127.0.0.1:9/"}, "no timestamp server gave a timestamp (tried: http://127.0.0.1:9/)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runtime + " " + c.message);
        std::string output;
        EXPECT_EQ(Pack(c.runtime, c.extra, &output), 1) << output;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    }
}

TEST_F(Packager, PackLeavesOutTheSignatureOfALauncherSignedBeforePacking) {
    // A certificate table after the sections, named by the security directory.
    std::vector<uint8_t> signedLauncher = launcher;
    const size_t table = signedLauncher.size();
    signedLauncher.insert(signedLauncher.end(), 0x300, 0x5A);
    const size_t optional = 0x80 + 24;
    Put32(signedLauncher, optional + 108, 16);
    Put32(signedLauncher, optional + 112 + 32, static_cast<uint32_t>(table));
    Put32(signedLauncher, optional + 112 + 36, 0x300);
    ASSERT_TRUE(WriteBytes(dir.Native("launcher.exe"), signedLauncher));
    std::string output;
    ASSERT_EQ(Pack("signed.dll", {}, &output), 0) << output;
    EXPECT_NE(output.find("launcher is signed"), std::string::npos) << output;
    const std::vector<uint8_t> packed = ReadBytes(dir.Native("out.exe"));
    ASSERT_GT(packed.size(), table + 0x300);  // the stale entry would now point into the archive
    EXPECT_TRUE(std::equal(packed.begin() + optional + 144, packed.begin() + optional + 152,
                           std::vector<uint8_t>(8, 0).begin()));
    EXPECT_EQ(Json(dir.Native("out.exe"))["hostImage.certificateTable"], "null");

    // Packed by an older tool, the inspector points it out.
    std::vector<uint8_t> stale = packed;
    Put32(stale, optional + 112 + 32, static_cast<uint32_t>(table));
    Put32(stale, optional + 112 + 36, 0x300);
    ASSERT_TRUE(WriteBytes(dir.Native("stale.exe"), stale));
    std::map<std::string, std::string> j = Json(dir.Native("stale.exe"));
    EXPECT_EQ(j["verdict.ok"], "true");
    EXPECT_NE(j["notes[0]"].find("overlaps the archive"), std::string::npos) << j["notes[0]"];
}

TEST_F(Packager, PackSignsTheRuntimeAndChecksThePackageInProcess) {
    std::string output;
    ASSERT_EQ(Pack("runtime.dll", {"--sign-runtime", dir.Native("cert.pem"), dir.Native("cert.key"), "--check"},
                   &output),
              0)
        << output;
    EXPECT_NE(output.find("vorlane-pack: signing the runtime library"), std::string::npos) << output;
    EXPECT_NE(output.find("vorlane-pack: check: the launcher accepts the package"), std::string::npos) << output;
    std::map<std::string, std::string> j = Json(dir.Native("out.exe"));
    EXPECT_EQ(j["verdict.ok"], "true");
    EXPECT_EQ(j["entries[1].decode.image.signed"], "true");
    EXPECT_EQ(j["entries[1].decode.image.signer"], "\"Vorlane\"");
    EXPECT_EQ(j["notes.length"], "2");  // the chain was not checked; no pin (--no-pin)
    // Signing works on a copy: the packager's file stays as it was.
    EXPECT_EQ(ReadBytes(dir.Native("runtime.dll")), MakeRuntimeImage());

    // A PKCS#12 file whose password comes from the environment, never the command line.
    ASSERT_EQ(RunProgram({"openssl", "pkcs12", "-export", "-in", dir.Native("cert.pem"), "-inkey",
                          dir.Native("cert.key"), "-out", dir.Native("signer.pfx"), "-passout", "pass:s3cret"},
                         "", &output),
              0)
        << output;
    // Without the password: the variable is named, not OpenSSL's error stack.
    EXPECT_EQ(Pack("runtime.dll", {"--sign-pkcs12", dir.Native("signer.pfx"), "--quiet"}, &output, "pfx.exe"), 1);
    EXPECT_NE(output.find("set VORLANE_SIGN_PASSWORD"), std::string::npos) << output;
    EXPECT_EQ(output.find(":error:"), std::string::npos) << output;
    setenv("VORLANE_SIGN_PASSWORD", "s3cret", 1);
    const int status = Pack("runtime.dll", {"--sign-pkcs12", dir.Native("signer.pfx"), "--quiet"}, &output, "pfx.exe");
    unsetenv("VORLANE_SIGN_PASSWORD");
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Json(dir.Native("pfx.exe"))["entries[1].decode.image.signed"], "true");

    // Quiet: nothing but errors; a refusal is never hidden, and nothing is written.
    ASSERT_EQ(Pack("signed.dll", {"--quiet"}, &output, "quiet.exe"), 0) << output;
    EXPECT_EQ(output, "");
    ASSERT_EQ(Pack("runtime.dll", {"--quiet"}, &output, "unsigned.exe"), 3) << output;
    EXPECT_NE(output.find("\"VorlaneStub.dll is not signed.\" (stage 14), exit code 5"), std::string::npos) << output;
    EXPECT_FALSE(dir.Exists("unsigned.exe"));
}

TEST_F(Packager, VerdictFollowsTheSignatureCheckAndTheLoadInTheLaunchersOrder) {
    DllOptions foreign;
    foreign.import = "libstdc++-6.dll";
    DllOptions system;
    system.import = "WINHTTP.dll";
    DllOptions x86;
    x86.machine = 0x14C;
    ASSERT_TRUE(WriteBytes(dir.Native("foreign.dll"), MakeRuntimeImage(foreign)));
    ASSERT_TRUE(WriteBytes(dir.Native("system.dll"), MakeRuntimeImage(system)));
    ASSERT_TRUE(WriteBytes(dir.Native("x86.dll"), MakeRuntimeImage(x86)));
    ASSERT_TRUE(MakeCertificate("Mallory Software", "other"));
    for (const char* name : {"foreign", "system", "x86"}) {
        ASSERT_TRUE(Sign(std::string(name) + ".dll", std::string(name) + "-signed.dll", "cert"));
    }
    ASSERT_TRUE(Sign("runtime.dll", "mallory.dll", "other"));
    const std::vector<std::pair<int, std::u16string>> defaults = {{4, u"FALSE"}, {5, u"NO"}, {6, u"Y"}};
    auto with = [&](std::vector<std::pair<int, std::u16string>> strings, const char* file) {
        EXPECT_TRUE(WriteBytes(dir.Native(file), MakeLauncherImageWithStrings(strings)));
        return std::string(file);
    };
    std::vector<std::pair<int, std::u16string>> noSetting4 = {{5, u"NO"}, {7, u"Vorlane"}};

    struct Case {
        std::string runtime;
        std::string launcher;
        std::vector<std::string> inspectArgs;
        std::string message;  // "null": none
        int code;
    };
    const Case cases[] = {
        {"signed.dll", "launcher.exe", {}, "null", 0},
        {"mallory.dll", "launcher.exe", {}, "VorlaneStub.dll is signed by Mallory Software, expected Vorlane.", 5},
        {"runtime.dll", "launcher.exe", {}, "VorlaneStub.dll is not signed.", 5},
        {"signed.dll", with(defaults, "no-publisher.exe"), {},
         "Cannot check VorlaneStub.dll: this application names no publisher.", 5},
        // The signature comes first: an unsigned 32-bit library is refused as unsigned.
        {"x86.dll", "launcher.exe", {}, "VorlaneStub.dll is not signed.", 5},
        {"x86-signed.dll", "launcher.exe", {}, "Failed to load VorlaneStub DLL", 6},
        {"foreign-signed.dll", "launcher.exe", {}, "Failed to load VorlaneStub DLL", 6},
        {"system-signed.dll", "launcher.exe", {}, "null", 0},
        {"signed.dll", with(noSetting4, "no-setting4.exe"), {}, "null", 6},
        {"signed.dll", "launcher.exe", {"--trust-root", dir.Native("cert.pem")}, "null", 0},
        {"signed.dll", "launcher.exe", {"--trust-root", dir.Native("other.pem")},
         "VorlaneStub.dll is signed by Vorlane, whose certificate is not trusted (0x800B0109).", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runtime + " behind " + c.launcher);
        std::string output;
        std::vector<std::string> argv{PackToolPath(VORLANE_BINARY_DIR), "--launcher", dir.Native(c.launcher),
                                      "--payload", dir.Native("app.data"), "--runtime", dir.Native(c.runtime),
                                      "-o", dir.Native("case.exe"), "--unchecked-runtime", "--quiet", "--no-pin"};
        ASSERT_EQ(RunProgram(argv, "", &output), 0) << output;
        std::vector<std::string> args = c.inspectArgs;
        args.insert(args.end(), {"--json", dir.Native("case.exe")});
        std::string json;
        EXPECT_EQ(Inspect(args, &json), c.code) << json;
        ASSERT_TRUE(dir.WriteFile("report.json", json));
        std::string flat;
        ASSERT_EQ(RunProgram({"python3", "-c",
                              "import json,sys; v=json.load(open(sys.argv[1]))['verdict']; "
                              "print(json.dumps(v['message']), v['exitCode'])",
                              dir.Native("report.json")},
                             "", &flat),
                  0)
            << json;
        EXPECT_EQ(flat, (c.message == "null" ? std::string("null") : "\"" + c.message + "\"") + " " +
                            std::to_string(c.code) + "\n");
    }
    std::string text;
    Inspect({dir.Native("case.exe")}, &text);
    EXPECT_NE(text.find("launcher         settings 4 \"FALSE\", 5 \"NO\", 6 \"Y\"; publisher \"Vorlane\""),
              std::string::npos)
        << text;

    // The machine field reads the same, in hex, wherever it shows: the image line, the explanation and JSON.
    std::string output;
    ASSERT_EQ(RunProgram({PackToolPath(VORLANE_BINARY_DIR), "--launcher", dir.Native("launcher.exe"), "--payload",
                          dir.Native("app.data"), "--runtime", dir.Native("x86-signed.dll"), "-o",
                          dir.Native("x86.exe"), "--unchecked-runtime", "--quiet", "--no-pin"},
                         "", &output),
              0)
        << output;
    Inspect({dir.Native("x86.exe")}, &text);
    EXPECT_NE(text.find("  machine 0x014C DLL, exports VorlaneInit"), std::string::npos) << text;
    EXPECT_NE(text.find("not a 64-bit x86-64 image (machine 0x014C)"), std::string::npos) << text;
    EXPECT_EQ(Json(dir.Native("x86.exe"))["entries[1].decode.image.machine"], "\"0x014C\"");
    EXPECT_EQ(Json(dir.Native("case.exe"))["entries[1].decode.image.machine"], "\"0x8664\"");
}

TEST_F(Packager, TheTrustAnswerComesFromTheSignatureAndTheBytesAsTheTrustServicesGiveIt) {
    // Certificates without any extended key usage, and with one that is not code signing.
    ASSERT_TRUE(MakeCertificate("Vorlane", "plain", ""));
    ASSERT_TRUE(MakeCertificate("Vorlane", "server", "serverAuth"));
    ASSERT_TRUE(Sign("runtime.dll", "plain.dll", "plain"));
    ASSERT_TRUE(Sign("runtime.dll", "server.dll", "server"));
    std::vector<uint8_t> tampered = ReadBytes(dir.Native("signed.dll"));
    tampered[0x3F0] ^= 1;  // section data, which the signed digest covers
    ASSERT_TRUE(WriteBytes(dir.Native("tampered.dll"), tampered));
    std::vector<uint8_t> garbled = ReadBytes(dir.Native("signed.dll"));
    const std::pair<size_t, size_t> table = CertificateTable(garbled);
    ASSERT_GT(table.second, 64u);
    std::fill(garbled.begin() + static_cast<std::ptrdiff_t>(table.first + 8),
              garbled.begin() + static_cast<std::ptrdiff_t>(table.first + table.second), 0x5A);
    ASSERT_TRUE(WriteBytes(dir.Native("garbled.dll"), garbled));

    const std::string notForCodeSigning =
        "VorlaneStub.dll is signed by Vorlane, whose certificate is not for code signing.";
    const std::string altered = "VorlaneStub.dll has an invalid signature (0x80096010).";
    struct Case {
        std::string runtime;
        std::string root;  // --trust-root (a stem), or none
        std::string message;  // "null": ok
        bool chainAssumed;
    };
    const Case cases[] = {
        {"signed.dll", "", "null", true},
        {"signed.dll", "cert", "null", false},
        {"plain.dll", "", notForCodeSigning, true},
        {"plain.dll", "plain", notForCodeSigning, false},
        // osslsigncode judges no chain for such a signer: the chain stays unchecked, the use still refuses it.
        {"server.dll", "server", notForCodeSigning, true},
        // The bytes decide before any chain, with or without roots (vorlane-pack writes no pin then).
        {"tampered.dll", "", altered, false},
        {"tampered.dll", "cert", altered, false},
        {"garbled.dll", "", "VorlaneStub.dll is not signed.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runtime + (c.root.empty() ? "" : " --trust-root " + c.root));
        std::string output;
        ASSERT_EQ(Pack(c.runtime, {"--unchecked-runtime", "--quiet", "--publisher", "Vorlane"}, &output, "t.exe"), 0)
            << output;
        std::vector<std::string> args;
        if (!c.root.empty()) args = {"--trust-root", dir.Native(c.root + ".pem")};
        std::map<std::string, std::string> j = Json(dir.Native("t.exe"), args);
        const bool ok = c.message == "null";
        EXPECT_EQ(j["verdict.message"], ok ? c.message : "\"" + c.message + "\"");
        EXPECT_EQ(j["verdict.exitCode"], ok ? "0" : "5");
        EXPECT_EQ(j["verdict.chainAssumed"], c.chainAssumed ? "true" : "false");
        args.push_back(dir.Native("t.exe"));
        EXPECT_EQ(Inspect(args, &output), ok ? 0 : 5) << output;
    }
    EXPECT_EQ(Json(dir.Native("t.exe"))["entries[1].decode.image.signerCodeSigning"], "false");

    // The pack's own check refuses the certificate without the use and the altered library, before writing.
    for (const char* runtime : {"plain.dll", "tampered.dll"}) {
        std::string output;
        EXPECT_EQ(Pack(runtime, {"--quiet"}, &output, "refused.exe"), 3) << output;
        EXPECT_NE(output.find(std::string(runtime) == "plain.dll" ? notForCodeSigning : altered), std::string::npos)
            << output;
        EXPECT_FALSE(dir.Exists("refused.exe"));
    }
}

TEST_F(Packager, DelayLoadedLibrariesAreJudgedLikeImportsAndNamed) {
    DllOptions missing;
    missing.delayImport = "VorlaneMissing.dll";
    DllOptions system;
    system.delayImport = "WINHTTP.dll";
    DllOptions older;  // a descriptor of addresses, as older linkers wrote
    older.delayImport = "libfoo.dll";
    older.delayVaBased = true;
    std::vector<uint8_t> damaged = MakeRuntimeImage(missing);
    damaged[0x98 + 112 + 13 * 8 + 1] = 0x70;  // the directory now points past every section
    ASSERT_TRUE(WriteBytes(dir.Native("missing.dll"), MakeRuntimeImage(missing)));
    ASSERT_TRUE(WriteBytes(dir.Native("system.dll"), MakeRuntimeImage(system)));
    ASSERT_TRUE(WriteBytes(dir.Native("older.dll"), MakeRuntimeImage(older)));
    ASSERT_TRUE(WriteBytes(dir.Native("damaged.dll"), damaged));
    for (const char* name : {"missing", "system", "older", "damaged"}) {
        ASSERT_TRUE(Sign(std::string(name) + ".dll", std::string(name) + "-signed.dll", "cert"));
    }
    struct Case {
        std::string runtime;
        std::string named;  // the library the verdict names; "": it runs
        std::string delayImports;
    };
    const Case cases[] = {
        {"missing-signed.dll", "VorlaneMissing.dll", "[\"VorlaneMissing.dll\"]"},
        {"older-signed.dll", "libfoo.dll", "[\"libfoo.dll\"]"},
        {"system-signed.dll", "", "[\"WINHTTP.dll\"]"},
        {"damaged-signed.dll", "", "null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runtime);
        std::string output;
        ASSERT_EQ(Pack(c.runtime, {"--unchecked-runtime", "--quiet"}, &output, "d.exe"), 0) << output;
        std::map<std::string, std::string> j = Json(dir.Native("d.exe"));
        std::string text;
        const int status = Inspect({dir.Native("d.exe")}, &text);
        const std::string listed = j["entries[1].decode.image.delayImports.length"] == "1"
                                       ? "[" + j["entries[1].decode.image.delayImports[0]"] + "]"
                                       : j["entries[1].decode.image.delayImports"];
        EXPECT_EQ(listed, c.delayImports);
        if (c.named.empty()) {
            EXPECT_EQ(j["verdict.ok"], "true");
            EXPECT_EQ(status, 0) << text;
            if (c.delayImports == "null") EXPECT_NE(text.find("delay-import table is damaged"), std::string::npos);
            continue;
        }
        // The launcher runs it; the runtime dies at its first call into the library, without a box.
        EXPECT_EQ(j["verdict.ok"], "false");
        EXPECT_EQ(j["verdict.message"], "null");
        EXPECT_EQ(j["verdict.endedBy"], "\"runtime\"");
        EXPECT_EQ(j["verdict.exitCode"], std::to_string(static_cast<int>(0xC06D007Eu)));
        EXPECT_EQ(status, 0x7E);
        EXPECT_NE(j["verdict.explanation"].find("delay-loads " + c.named), std::string::npos)
            << j["verdict.explanation"];
        EXPECT_NE(text.find("  delay-loads " + c.named + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("verdict          the runtime ends with exception 0xC06D007E"), std::string::npos) << text;

        EXPECT_EQ(Pack(c.runtime, {"--quiet"}, &output, "refused.exe"), 3) << output;
        EXPECT_NE(output.find("this package would fail at start: the runtime ends with exception 0xC06D007E"),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find(c.named), std::string::npos) << output;
        EXPECT_FALSE(dir.Exists("refused.exe"));
    }
}

TEST_F(Packager, PackagesOfFourGibibytesAreRefusedUnreadAndReportedAsNotStarting) {
    constexpr uint64_t LIMIT = 1ull << 32;
    // A payload of 4 GiB that takes no room: refused before a byte of it is read.
    const std::string big = dir.Native("big.data");
    ASSERT_TRUE(dir.WriteFile("big.data", ""));
    ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(LIMIT)), 0);
    std::string output;
    std::vector<std::string> argv{PackToolPath(VORLANE_BINARY_DIR), "--launcher", dir.Native("launcher.exe"),
                                  "--payload", big, "--runtime", dir.Native("signed.dll"), "-o", dir.Native("out.exe")};
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--no-check"}}) {
        std::vector<std::string> args = argv;
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(RunProgram(args, "", &output), 3) << output;
        EXPECT_NE(output.find("Windows does not start an executable of 4 GiB (4294967296 bytes) or more"),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("the package would be about " + std::to_string(LIMIT + launcher.size() + 32) + " bytes"),
                  std::string::npos)
            << output;
        EXPECT_EQ(output.find("copying the payload"), std::string::npos) << output;
        EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    }

    // A package grown to 4 GiB (the same bytes, then zeros that take no room): Windows does not start it.
    const std::vector<uint8_t> sound = Packed();
    for (const uint64_t size : {LIMIT - 1, LIMIT, LIMIT + 4096}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(WriteBytes(dir.Native("grown.exe"), sound));
        ASSERT_EQ(truncate(dir.Native("grown.exe").c_str(), static_cast<off_t>(size)), 0);
        std::map<std::string, std::string> j = Json(dir.Native("grown.exe"));
        std::string text;
        const int status = Inspect({dir.Native("grown.exe")}, &text);
        if (size < LIMIT) {
            EXPECT_NE(j["verdict.endedBy"], "\"windows\"");
            EXPECT_EQ(j["payload.result"], "\"ok\"");
            continue;
        }
        EXPECT_EQ(j["verdict.endedBy"], "\"windows\"");
        EXPECT_EQ(j["verdict.exitCode"], "193");
        EXPECT_EQ(j["hostImage.fileSize"], std::to_string(size));
        EXPECT_EQ(j["launcher.strings.7"], "\"Vorlane\"");
        EXPECT_EQ(j["payload"], "null");  // never read
        EXPECT_NE(j["verdict.explanation"].find(std::to_string(size) + " bytes"), std::string::npos);
        EXPECT_EQ(status, 193);
        EXPECT_NE(text.find("verdict          Windows does not start it (error 193)"), std::string::npos) << text;
    }
}

}  // namespace
