// The tools' one codec and hex: every form of bad UTF-8 is refused whole
// (never decoded into a different name), good text survives the trip both
// ways, a lone surrogate becomes U+FFFD and never a byte sequence that is not
// UTF-8, and hex reads back to its number.
#include <gtest/gtest.h>

#include <string>

#include "base/hex.h"
#include "tools/host/text.h"

namespace {

TEST(ToolText, DecodingRefusesWhatIsNotUtf8AndKeepsEverythingElse) {
    const struct {
        const char* what;
        std::string bytes;
        bool utf8;
        std::u16string wide;  // when utf8
    } cases[] = {
        {"ASCII and NUL", std::string("a\0b", 3), true, std::u16string(u"a\0b", 3)},
        {"two, three and four bytes", "\xC3\xA9\xE2\x98\x83\xF0\x9F\x98\x80", true, u"\u00E9\u2603\U0001F600"},
        {"the last code point", "\xF4\x8F\xBF\xBF", true, u"\U0010FFFF"},
        {"U+FFFF", "\xEF\xBF\xBF", true, u"\uFFFF"},
        {"overlong NUL", "\xC0\x80", false, u""},
        {"overlong slash", "a\xE0\x80\xAF", false, u""},
        {"overlong four bytes", "\xF0\x80\x80\x80", false, u""},
        {"an encoded surrogate", "\xED\xA0\x80", false, u""},
        {"past U+10FFFF", "\xF4\x90\x80\x80", false, u""},
        {"a lead byte no form has", "\xF8\x88\x80\x80\x80", false, u""},
        {"cut short", "ok\xE2\x82", false, u""},
        {"a continuation alone", "\x80", false, u""},
        {"a lead byte before ASCII", "\xC3" "A", false, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::u16string wide = u"stale";
        EXPECT_EQ(Utf16FromUtf8(c.bytes, &wide), c.utf8);
        EXPECT_EQ(wide, c.utf8 ? c.wide : std::u16string());
        if (c.utf8) EXPECT_EQ(Utf8Of(wide), c.bytes);
    }
}

TEST(ToolText, EncodingWritesALoneSurrogateAsTheReplacementCharacter) {
    const struct {
        std::u16string wide;
        std::string bytes;
    } cases[] = {
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {std::u16string({u'a', 0xD800}), "a\xEF\xBF\xBD"},
        {std::u16string({0xDC00, u'b'}), "\xEF\xBF\xBD" "b"},
        {std::u16string({0xDC00, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a pair the wrong way round
    };
    for (const auto& c : cases) {
        const std::string bytes = Utf8Of(c.wide);
        EXPECT_EQ(bytes, c.bytes);
        std::u16string back;
        EXPECT_TRUE(Utf16FromUtf8(bytes, &back)) << "what the encoder writes always decodes";
    }
}

TEST(ToolText, HexReadsBackToItsNumber) {
    const uint8_t bytes[] = {0x00, 0x9F, 0xA0, 0xFF};
    EXPECT_EQ(HexOf(bytes, sizeof bytes), "009fa0ff");
    EXPECT_EQ(HexNumber(0xC0000005u, 8, true), "C0000005");
    EXPECT_EQ(HexNumber(0x8664, 4, true), "8664");
    EXPECT_EQ(HexNumber(0x21, 1, true), "21");
    EXPECT_EQ(HexNumber(0, 1, false), "0");
    EXPECT_EQ(HexNumber(0xA, 16, false), "000000000000000a");
    EXPECT_EQ(HexNumber(0xFFFFFFFFFFFFFFFFull, 2, false), "ffffffffffffffff");
    for (char32_t c = 0; c < 0x80; ++c) {
        const int value = HexValue(c);
        const bool digit = (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F');
        ASSERT_EQ(value >= 0, digit) << static_cast<int>(c);
        if (digit) EXPECT_TRUE(HEX_LOWER[value] == c || HEX_UPPER[value] == c) << static_cast<int>(c);
    }
    EXPECT_EQ(HexValue(U'\uFF10'), -1);  // a full-width digit is no hex digit
}

TEST(ToolText, LowerAsciiLeavesEveryOtherByte) {
    EXPECT_EQ(LowerAscii("SignTool ERROR \xC3\x89"), "signtool error \xC3\x89");
}

}  // namespace
