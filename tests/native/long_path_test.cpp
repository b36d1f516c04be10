// Long-path conversion at its boundaries.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "base/long_path.h"

namespace {

std::u16string DrivePath(size_t length, char16_t drive = u'C') {
    std::u16string p = {drive, u':', u'\\'};
    while (p.size() < length) p += (p.size() % 10 == 9) ? u'\\' : u'd';
    return p;
}

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; *text != 0; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::u16string UncPath(size_t length) {
    std::u16string p = u"\\\\server\\share\\";
    while (p.size() < length) p += u'x';
    return p;
}

struct Scratch {
    char16_t buffer[LONG_PATH_CAPACITY];
    Scratch() {
        for (auto& c : buffer) c = u'#';
    }
    bool Untouched() const {
        for (auto c : buffer)
            if (c != u'#') return false;
        return true;
    }
};

TEST(LongPath, DrivePathsConvertFrom248Characters) {
    Scratch s;
    const std::u16string p247 = DrivePath(247);
    EXPECT_EQ(ToLongPath(p247.c_str(), s.buffer), p247.c_str());
    EXPECT_TRUE(s.Untouched());

    const std::u16string p248 = DrivePath(248);
    const char16_t* r = ToLongPath(p248.c_str(), s.buffer);
    ASSERT_EQ(r, s.buffer);
    EXPECT_EQ(std::u16string(r), u"\\\\?\\" + p248);
    EXPECT_EQ(std::u16string(r).size(), 252u);
}

TEST(LongPath, CapacityLimitsOfDriveAndUncPaths) {
    Scratch s;
    const std::u16string d2051 = DrivePath(2051);
    ASSERT_EQ(ToLongPath(d2051.c_str(), s.buffer), s.buffer);
    EXPECT_EQ(std::u16string(s.buffer).size(), 2055u);

    Scratch t;
    const std::u16string d2052 = DrivePath(2052);
    EXPECT_EQ(ToLongPath(d2052.c_str(), t.buffer), d2052.c_str());
    EXPECT_TRUE(t.Untouched());

    Scratch u;
    const std::u16string u2049 = UncPath(2049);
    ASSERT_EQ(ToLongPath(u2049.c_str(), u.buffer), u.buffer);
    EXPECT_EQ(std::u16string(u.buffer), u"\\\\?\\UNC\\" + u2049.substr(2));
    EXPECT_EQ(std::u16string(u.buffer).size(), 2055u);

    Scratch v;
    const std::u16string u2050 = UncPath(2050);
    EXPECT_EQ(ToLongPath(u2050.c_str(), v.buffer), u2050.c_str());
    EXPECT_TRUE(v.Untouched());
}

TEST(LongPath, UncPathGetsUncPrefix) {
    Scratch s;
    const std::u16string p = UncPath(300);
    ASSERT_EQ(ToLongPath(p.c_str(), s.buffer), s.buffer);
    EXPECT_EQ(std::u16string(s.buffer).size(), 306u);
    EXPECT_EQ(std::u16string(s.buffer).substr(0, 16), u"\\\\?\\UNC\\server\\s");
}

TEST(LongPath, PathsLeftAlone) {
    const std::u16string prefixed = u"\\\\?\\" + DrivePath(300);
    const std::u16string prefixedUnc = u"\\\\?\\UNC\\" + UncPath(300).substr(2);
    std::u16string forward = DrivePath(300);
    forward[2] = u'/';
    std::u16string doubleForward = UncPath(300);
    doubleForward[0] = doubleForward[1] = u'/';
    const std::u16string relative = u"dir\\" + DrivePath(400).substr(3);
    const std::u16string rooted = u"\\" + DrivePath(400).substr(3);
    const std::u16string driveRelative = u"C:" + DrivePath(400).substr(3);
    const std::u16string nonAsciiDrive = DrivePath(300, u'\u00C4');
    const std::u16string almostPrefix = u"\\\\?/" + DrivePath(300);  // goes on as a UNC path

    for (const std::u16string* p : std::initializer_list<const std::u16string*>{&prefixed, &prefixedUnc, &forward, &doubleForward, &relative, &rooted,
                                    &driveRelative, &nonAsciiDrive}) {
        Scratch s;
        EXPECT_EQ(ToLongPath(p->c_str(), s.buffer), p->c_str()) << p->size();
        EXPECT_TRUE(s.Untouched());
    }
    Scratch s;
    EXPECT_EQ(ToLongPath(almostPrefix.c_str(), s.buffer), s.buffer);
    EXPECT_EQ(std::u16string(s.buffer).substr(0, 8), u"\\\\?\\UNC\\");
}

TEST(LongPath, NullAndInputUntouched) {
    Scratch s;
    EXPECT_EQ(ToLongPath(nullptr, s.buffer), nullptr);
    EXPECT_TRUE(s.Untouched());

    const std::u16string p = DrivePath(600);
    const std::u16string copy = p;
    ToLongPath(p.c_str(), s.buffer);
    EXPECT_EQ(p, copy);
}

// Win32 trims a trailing dot and trailing spaces from the names of a plain
// path, so such a name reaches another file; every such name counts, wherever
// it stands and whatever the separator.
TEST(PlainFormRewrites, NamesEndingInADotOrASpace) {
    for (const char16_t* path : {u"C:\\x.\\a", u"C:\\a\\b.", u"C:\\a \\b", u"C:\\a\\b  ", u"C:/x./a", u"C:\\...\\b",
                                 u"C:\\a\\.\\b", u"C:\\a\\..\\b", u"\\\\?\\C:\\x.\\a", u"\\\\.\\C:\\a.\\b",
                                 u"\\\\server\\share.\\a", u"\\\\?\\UNC\\server\\share\\a \\b"}) {
        EXPECT_TRUE(PlainFormRewrites(path)) << Narrow(path);
    }
    for (const char16_t* path : {u"C:\\Users\\me\\AppData\\Local", u"C:\\a.b\\c", u"C:\\a\\", u"C:\\.hidden\\x",
                                 u"\\\\?\\C:\\a", u"\\\\.\\C:\\a", u"\\\\server\\share\\a", u"Z:\\", u""}) {
        EXPECT_FALSE(PlainFormRewrites(path)) << Narrow(path);
    }
    EXPECT_FALSE(PlainFormRewrites(nullptr));

    EXPECT_TRUE(IsVerbatimPath(u"\\\\?\\C:\\x."));
    EXPECT_TRUE(IsVerbatimPath(u"\\\\?\\UNC\\server\\share"));
    for (const char16_t* path : {u"\\\\.\\C:\\x", u"//?/C:/x", u"\\\\?", u"C:\\x"}) EXPECT_FALSE(IsVerbatimPath(path));
    EXPECT_FALSE(IsVerbatimPath(nullptr));
}

}  // namespace
