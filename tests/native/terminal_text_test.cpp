// Texts from a package reach a packager's terminal only escaped: the escape
// form itself (every control, DEL, C1 and bidirectional control, unpaired
// surrogate and stray byte becomes visible, nothing else changes, and the
// result reads back to the original in one way only), then vorlane-inspect
// and vorlane-pack on a package and a signer whose texts try to erase lines,
// fake a verdict and set the window title.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"
#include "tools/inspect/report_common.h"
#include "tools/resources/resources.h"

namespace {

// The cross-built launcher, from the win64 tree this one was configured with.
const std::string LAUNCHER = VORLANE_WIN64_DIR "/VorlaneLauncher.exe";
const std::string INSPECT = std::string(VORLANE_BINARY_DIR) + "/tools/vorlane-inspect";

std::u16string Units(std::initializer_list<char16_t> units) { return std::u16string(units); }

// Reads the escaped form back, as a reader of the report would: \\, \xHH,
// \uHHHH, else UTF-8. False when the text holds anything else.
bool ReadBack(const std::string& shown, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < shown.size();) {
        const uint8_t c = static_cast<uint8_t>(shown[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == '\\') {
            if (i + 1 < shown.size() && shown[i + 1] == '\\') {
                out->push_back(u'\\');
                i += 2;
                continue;
            }
            const size_t digits = i + 1 < shown.size() && shown[i + 1] == 'x' ? 2 : 4;
            if (i + 1 >= shown.size() || (shown[i + 1] != 'x' && shown[i + 1] != 'u') ||
                shown.size() - i - 2 < digits) {
                return false;
            }
            out->push_back(static_cast<char16_t>(std::stoul(shown.substr(i + 2, digits), nullptr, 16)));
            i += 2 + digits;
            continue;
        }
        uint32_t code = 0;
        size_t at = i;
        if (!NextUtf8(shown, &at, &code)) return false;
        i = at;
        if (code >= 0x10000) {
            out->push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(code));
        }
    }
    return true;
}

// What no text a tool prints may hold: a control but the line feed, DEL, a C1
// control or a bidirectional control in UTF-8, or a byte that is not UTF-8.
std::string FirstUnsafe(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) return "control " + std::to_string(c) + " at " + std::to_string(i);
        uint32_t code = 0;
        size_t at = i;
        if (!NextUtf8(text, &at, &code)) return "a byte that is not UTF-8 at " + std::to_string(i);
        const bool bidi = (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
        if ((code >= 0x80 && code <= 0x9F) || bidi) {
            return "U+" + std::to_string(code) + " at " + std::to_string(i);
        }
        i = at;
    }
    return "";
}

TEST(TerminalText, ControlsBecomeVisibleEscapesAndEverythingElseStays) {
    struct Case {
        std::u16string text;
        std::string shown;
    };
    const Case cases[] = {
        {u"Example Software Ltd", "Example Software Ltd"},
        {u"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        {u"a\nverdict ok\r\t", "a\\x0averdict ok\\x0d\\x09"},
        {Units({0x1F, 0x20, 0x7E, 0x7F, 0x80, 0x9B, 0x9F, 0xA0}), "\\x1f ~\\x7f\\u0080\\u009b\\u009f\u00a0"},
        // The bidirectional controls are escaped; their neighbours are text.
        {Units({0x2029, 0x202A, 0x202E, 0x202F, 0x2065, 0x2066, 0x2069, 0x206A}),
         "\u2029\\u202a\\u202e\u202f\u2065\\u2066\\u2069\u206a"},
        {u"C:\\Tools\\x41", "C:\\\\Tools\\\\x41"},
        {u"\u00e9t\u00e9 \u2603 \U0001F600", "\u00e9t\u00e9 \u2603 \U0001F600"},
        // Unpaired surrogates, alone, reversed, at the end.
        {Units({u'a', 0xD800, u'b', 0xDC00, 0xD83D}), "a\\ud800b\\udc00\\ud83d"},
        {Units({0xDE00, 0xD83D}), "\\ude00\\ud83d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(Shown(c.text), c.shown);
        std::u16string back;
        EXPECT_TRUE(ReadBack(c.shown, &back));
        EXPECT_EQ(back, c.text);
    }
    // A path keeps its separators; what else it holds is escaped all the same.
    EXPECT_EQ(Shown(u"Z:\\tmp\\a\x1b.exe", true), "Z:\\tmp\\a\\x1b.exe");

    // Texts read as bytes (import names, a verifier's output): bytes that are
    // not UTF-8 become \xHH from 80 up, never a character.
    const std::pair<std::string, std::string> bytes[] = {
        {"KERNEL32.dll", "KERNEL32.dll"},
        {"a\x1b[2Jb", "a\\x1b[2Jb"},
        {"\xc2\x9b" "31m", "\\u009b31m"},
        {"\xe2\x80\xae" "lld.exe", "\\u202elld.exe"},
        {"\xff\xfe", "\\xff\\xfe"},
        {"\xc0\x80", "\\xc0\\x80"},          // an overlong NUL
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // an encoded surrogate
        {"\xe2\x80", "\\xe2\\x80"},          // cut short
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xc3\xa9\\", "\xc3\xa9\\\\"},
    };
    for (const auto& b : bytes) EXPECT_EQ(Shown(b.first), b.second) << b.second;

    // Any text at all: nothing unsafe comes out, and it reads back whole.
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::u16string text(random() % 12, u' ');
        for (char16_t& unit : text) {
            const uint32_t pick = random() % 4;
            unit = static_cast<char16_t>(pick == 0   ? random() % 0xA0
                                         : pick == 1 ? 0x2020 + random() % 0x60
                                         : pick == 2 ? 0xD800 + random() % 0x800
                                                     : random() % 0x10000);
        }
        const std::string shown = Shown(text);
        ASSERT_EQ(FirstUnsafe(shown), "") << shown;
        std::u16string back;
        ASSERT_TRUE(ReadBack(shown, &back)) << shown;
        ASSERT_EQ(back, text) << shown;
    }
}

class HostileTexts : public ::testing::Test {
protected:
    TempDir dir;

    int Run(const std::vector<std::string>& argv, std::string* output) { return RunProgram(argv, "", output); }
};

TEST_F(HostileTexts, InspectShowsEveryPackageTextEscapedOnItsOwnLine) {
    std::vector<uint8_t> launcher = ReadBytes(LAUNCHER);
    ASSERT_FALSE(launcher.empty()) << "missing " << LAUNCHER << ": build the win64 tree first";
    const std::u16string title = u"\x1b]0;pwned\x07";
    const std::u16string fakeLine = u"x\n\x1b[1Averdict          ok";
    std::u16string publisher = u"Pub\x1b[2K\r\u202e";
    publisher.push_back(0xD800);  // no UTF-8 form
    ResourceJob job;
    job.strings = {{4, title}, {5, fakeLine}, {7, publisher}};
    job.versionStrings = {{u"ProductName", u"\u009b31mred"}, {u"CompanyName", u"\u2066evil\u2069"},
                          {u"Ev\x1bil", u"value"}};
    std::vector<uint8_t> image;
    ASSERT_EQ(RewriteResources(launcher, job, &image), ResourceResult::Ok);

    DllOptions runtime;
    runtime.import = "ev\x1b[1Ail.dll";
    std::u16string entry = u"\x1b[2J\u202e";
    entry.push_back(0xDC00);
    std::vector<uint8_t> package = image;
    const std::vector<uint8_t> archive = BuildStoredArchive(
        {{u"vorlane.bin", PatternBytes(4000, 1)}, {u"VorlaneStub.dll", MakeRuntimeImage(runtime)}, {entry, {1, 2}}});
    package.insert(package.end(), archive.begin(), archive.end());
    ASSERT_TRUE(WriteBytes(dir.Native("hostile.exe"), package));

    std::string text;
    // Unsigned: refused at the signature, with the publisher quoted in the explanation.
    EXPECT_EQ(Run({INSPECT, dir.Native("hostile.exe")}, &text), 5) << text;
    EXPECT_EQ(FirstUnsafe(text), "") << text;
    for (const char* shown : {"4 \"\\x1b]0;pwned\\x07\"", "5 \"x\\x0a\\x1b[1Averdict          ok\"",
                              "publisher \"Pub\\x1b[2K\\x0d\\u202e\\ud800\"", "ProductName \"\\u009b31mred\"",
                              "CompanyName \"\\u2066evil\\u2069\"", "Ev\\x1bil \"value\"", "\\x1b[2J\\u202e\\udc00",
                              "imports ev\\x1b[1Ail.dll", "whose name is \"Pub\\x1b[2K\\x0d\\u202e"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    }
    // One verdict, the launcher's, on the report's last lines.
    size_t verdicts = 0;
    for (size_t at = text.find("verdict"); at != std::string::npos; at = text.find("verdict", at + 1)) {
        verdicts += at == 0 || text[at - 1] == '\n';
    }
    EXPECT_EQ(verdicts, 1u) << text;
    EXPECT_NE(text.find("\nverdict          \"VorlaneStub.dll is not signed.\" (stage 14), exit code 5\n"),
              std::string::npos)
        << text;

    // JSON keeps the texts themselves, in its own escapes.
    std::string json;
    Run({INSPECT, "--json", dir.Native("hostile.exe")}, &json);
    EXPECT_EQ(json.find('\x1b'), std::string::npos);
    EXPECT_NE(json.find("\"4\": \"\\u001b]0;pwned\\u0007\""), std::string::npos) << json;
}

TEST_F(HostileTexts, PackQuotesASignersNameEscaped) {
    const std::string signer = "Mal\x1b]0;pwned\x07\xe2\x80\xaelory";
    std::string output;
    ASSERT_EQ(Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2", "-utf8",
                   "-keyout", dir.Native("key.pem"), "-out", dir.Native("cert.pem"), "-subj", "/CN=" + signer,
                   "-addext", "extendedKeyUsage=codeSigning"},
                  &output),
              0)
        << output;
    ASSERT_TRUE(WriteBytes(dir.Native("runtime.dll"), MakeRuntimeImage()));
    ASSERT_EQ(Run({"osslsigncode", "sign", "-certs", dir.Native("cert.pem"), "-key", dir.Native("key.pem"), "-h",
                   "sha256", "-in", dir.Native("runtime.dll"), "-out", dir.Native("signed.dll")},
                  &output),
              0)
        << output;
    const std::vector<uint8_t> launcher = ReadBytes(LAUNCHER);
    ASSERT_FALSE(launcher.empty()) << "missing " << LAUNCHER << ": build the win64 tree first";
    ASSERT_TRUE(WriteBytes(dir.Native("launcher.exe"), launcher));
    ASSERT_TRUE(WriteBytes(dir.Native("app.bin"), PatternBytes(3000, 2)));
    const std::string shown = "Mal\\x1b]0;pwned\\x07\\u202elory";
    auto pack = [&](const std::vector<std::string>& extra, const std::string& out) {
        std::vector<std::string> argv{PackToolPath(VORLANE_BINARY_DIR), "--launcher", dir.Native("launcher.exe"),
                                      "--payload", dir.Native("app.bin"), "--runtime", dir.Native("signed.dll"),
                                      "-o", dir.Native(out)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return Run(argv, &output);
    };

    // Refused for another publisher: the launcher's message names the signer.
    EXPECT_EQ(pack({"--publisher", "Vorlane"}, "refused.exe"), 3) << output;
    EXPECT_EQ(FirstUnsafe(output), "") << output;
    EXPECT_NE(output.find("signed by " + shown + ", expected Vorlane."), std::string::npos) << output;

    // Taken as the publisher: said, written as it is, and inspected escaped.
    EXPECT_EQ(pack({}, "taken.exe"), 0) << output;
    EXPECT_EQ(FirstUnsafe(output), "") << output;
    EXPECT_NE(output.find("publisher: \"" + shown + "\""), std::string::npos) << output;
    EXPECT_EQ(Run({INSPECT, dir.Native("taken.exe")}, &output), 0) << output;
    EXPECT_EQ(FirstUnsafe(output), "") << output;
    EXPECT_NE(output.find("publisher \"" + shown + "\""), std::string::npos) << output;
    EXPECT_NE(output.find("signed by \"" + shown + "\""), std::string::npos) << output;
}

}  // namespace
