// Bounded formatting and the rebuilt argument line handed to the runtime.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/handoff.h"
#include "base/text.h"
#include "platform/platform.h"

namespace {

TEST(TextFormat, FitsCutsAndTerminates) {
    char16_t out[16];
    EXPECT_TRUE(TextFormat(out, 16, u"%s=%d", u"abc", -42));
    EXPECT_EQ(std::u16string(out), u"abc=-42");

    EXPECT_FALSE(TextFormat(out, 8, u"%s\\%s", u"abcd", u"efgh"));
    EXPECT_EQ(std::u16string(out), u"abcd\\ef");  // 7 characters and the terminator

    char16_t big[40];
    EXPECT_TRUE(TextFormat(big, 40, u"%d %u %X%%", INT32_MIN + 0, 4294967295u, 0x800B0100u));
    EXPECT_EQ(std::u16string(big), u"-2147483648 4294967295 800B0100%");
    EXPECT_FALSE(TextFormat(out, 16, u"%d %u %X", INT32_MIN + 0, 4294967295u, 0x800B0100u));

    char16_t exact[4];
    EXPECT_TRUE(TextFormat(exact, 4, u"abc"));
    EXPECT_FALSE(TextFormat(exact, 4, u"abcd"));
    EXPECT_EQ(std::u16string(exact), u"abc");
}

struct Args {
    std::vector<std::u16string> items;
    std::vector<char16_t*> argv;
    explicit Args(std::vector<std::u16string> list) : items(std::move(list)) {
        for (auto& s : items) argv.push_back(&s[0]);
    }
    std::u16string Line() {
        char16_t* line = RebuildArgumentLine(argv.data(), static_cast<int>(argv.size()));
        if (line == nullptr) return u"<null>";
        std::u16string r(line);
        PlatHeapFree(line);
        return r;
    }
};

TEST(ArgumentLine, QuotesOnlyElementsWithSpaces) {
    EXPECT_EQ(Args({u"app.exe"}).Line(), u"<null>");
    EXPECT_EQ(RebuildArgumentLine(nullptr, 0), nullptr);
    EXPECT_EQ(Args({u"app.exe", u"a", u"b"}).Line(), u"a b");
    EXPECT_EQ(Args({u"app.exe", u"C:\\My Files\\book"}).Line(), u"\"C:\\My Files\\book\"");
    EXPECT_EQ(Args({u"app.exe", u"a", u"", u"b"}).Line(), u"a  b");
    EXPECT_EQ(Args({u"app.exe", u"", u""}).Line(), u" ");
    EXPECT_EQ(Args({u"app.exe", u"tab\there", u"x"}).Line(), u"tab\there x");
    EXPECT_EQ(Args({u"app.exe", u"say \"hi\"", u"q\"q"}).Line(), u"\"say \"hi\"\" q\"q");
}

TEST(ArgumentLine, CapacityIsExact) {
    // Every element with spaces: the capacity rule leaves no spare character.
    Args args({u"app.exe", u"a b", u" ", u"c"});
    EXPECT_EQ(args.Line(), u"\"a b\" \" \" c");
}

}  // namespace
