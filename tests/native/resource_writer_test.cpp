// The resource writer against windres: the launcher rewritten for some values
// holds the resources windres compiles from an .rc with the same values; and
// what the writer refuses (long texts, NULs, damaged trees) it refuses
// without crashing.
#include <gtest/gtest.h>

#include <stb_image.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/picture.h"
#include "tests/support/temp_dir.h"
#include "tools/resources/resources.h"

namespace {

const std::string LAUNCHER = VORLANE_WIN64_DIR "/VorlaneLauncher.exe";

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
void Put32At(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// An .ico file holding PNG images of the given sides.
std::vector<uint8_t> Ico(const std::vector<int>& sides) {
    std::vector<std::vector<uint8_t>> images;
    for (int side : sides) images.push_back(PngBytes(side, side, static_cast<uint32_t>(side)));
    std::vector<uint8_t> ico = {0, 0, 1, 0, static_cast<uint8_t>(sides.size()), 0};
    size_t offset = 6 + 16 * sides.size();
    for (size_t i = 0; i < sides.size(); ++i) {
        const uint8_t side = static_cast<uint8_t>(sides[i] == 256 ? 0 : sides[i]);
        const uint8_t entry[16] = {side, side, 0, 0, 1, 0, 32, 0};
        ico.insert(ico.end(), entry, entry + 16);
        Put32At(&ico, ico.size() - 8, static_cast<uint32_t>(images[i].size()));
        Put32At(&ico, ico.size() - 4, static_cast<uint32_t>(offset));
        offset += images[i].size();
    }
    for (const auto& image : images) ico.insert(ico.end(), image.begin(), image.end());
    return ico;
}

const Resource* Find(const Resources& resources, uint32_t type, uint32_t id, const std::u16string& name = u"") {
    for (const Resource& r : resources) {
        if (r.type.name.empty() && r.type.id == type && r.name.name == name && (!name.empty() || r.name.id == id)) {
            return &r;
        }
    }
    return nullptr;
}

// The cross-built launcher, from the win64 tree this one was configured with.
// Missing, it fails the case, unless this tree promises no cross build (the
// caller then skips).
bool LauncherBuilt(std::vector<uint8_t>* image) {
    *image = ReadBytes(LAUNCHER);
    if (!image->empty()) return true;
    if (VORLANE_WIN64_REQUIRED) ADD_FAILURE() << "missing " << LAUNCHER << ": build the win64 tree first";
    return false;
}

// The .rsrc section windres compiles rc into, read by the library.
Resources Windres(const TempDir& dir, const std::string& rc) {
    EXPECT_TRUE(dir.WriteFile("oracle.rc", rc));
    std::string output;
    EXPECT_EQ(RunProgram({"x86_64-w64-mingw32-windres", "-O", "coff", "-o", "oracle.o", "oracle.rc"}, dir.Native(),
                         &output),
              0)
        << output;
    const std::vector<uint8_t> object = ReadBytes(dir.Native("oracle.o"));
    Resources resources;
    // The COFF object's section table follows its 20-byte header and any optional header.
    const size_t sections = object.size() >= 20 ? (object[2] | (object[3] << 8)) : 0;
    for (size_t i = 0; i < sections; ++i) {
        const size_t at = 20 + (object[16] | (object[17] << 8)) + 40 * i;
        if (std::memcmp(&object[at], ".rsrc\0", 6) != 0) continue;
        // Its data entries hold offsets from the section's start, relocated when linked.
        EXPECT_EQ(ReadResourceSection(&object[Le32At(object, at + 20)], Le32At(object, at + 16), 0, &resources),
                  ResourceResult::Ok);
    }
    EXPECT_FALSE(resources.empty());
    return resources;
}

// The launcher's own fields, after the PE signature: sections and directories.
struct Layout {
    size_t pe;
    uint32_t sections;
    size_t table;
};
Layout LayoutOf(const std::vector<uint8_t>& image) {
    const size_t pe = Le32At(image, 60);
    return {pe, static_cast<uint32_t>(image[pe + 6] | (image[pe + 7] << 8)), pe + 24 + 240};
}
size_t SectionNamed(const std::vector<uint8_t>& image, const char* name) {
    const Layout l = LayoutOf(image);
    for (uint32_t i = 0; i < l.sections; ++i) {
        const size_t at = l.table + 40 * i;
        if (std::strncmp(reinterpret_cast<const char*>(&image[at]), name, 8) == 0) return at;
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
}

TEST(ResourceWriter, TheRewrittenLauncherHoldsWhatWindresCompilesForTheSameValues) {
    TempDir dir;
    std::vector<uint8_t> launcher;
    if (!LauncherBuilt(&launcher)) GTEST_SKIP() << "no cross-built launcher at " << LAUNCHER;
    ASSERT_TRUE(WriteBytes(dir.Native("app.ico"), Ico({256, 32})));  // fewer icons than the launcher's three

    ResourceJob job;
    job.strings = {{4, u"vier \u2603"}, {5, u"NO"}, {6, u""}, {7, u"Example Ltd"}, {8, u"pin:0123abcd"}};
    job.icon = ReadBytes(dir.Native("app.ico"));
    job.setVersion = true;
    ASSERT_TRUE(ParseVersion("2026.12.8.65535", job.version));
    job.versionStrings = {{u"ProductName", u"\u00dcn\u00efcode \u2603 Viewer"}, {u"CompanyName", u"Example Ltd"},
                          {u"LegalCopyright", u"\u00a9 2026 Example Ltd"}};
    std::vector<uint8_t> rewritten;
    ASSERT_EQ(RewriteResources(launcher, job, &rewritten), ResourceResult::Ok);
    Resources ours;
    ASSERT_EQ(ReadResources(rewritten, &ours), ResourceResult::Ok);

    // The launcher's .rc (resources/launcher.rc.in) with the same values; a
    // new version value goes last, setting 6 left out.
    const Resources oracle = Windres(dir, R"(#pragma code_page(65001)
#include <winresrc.h>
STRINGTABLE
BEGIN
  4 "vier ☃"
  5 "NO"
  7 "Example Ltd"
  8 "pin:0123abcd"
END
MAIN ICON "app.ico"
VS_VERSION_INFO VERSIONINFO
 FILEVERSION 2026,12,8,65535
 PRODUCTVERSION 2026,12,8,65535
 FILEFLAGSMASK VS_FFI_FILEFLAGSMASK
 FILEFLAGS 0
 FILEOS VOS_NT_WINDOWS32
 FILETYPE VFT_APP
 FILESUBTYPE VFT2_UNKNOWN
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "CompanyName", "Example Ltd"
      VALUE "FileDescription", "Vorlane launcher"
      VALUE "FileVersion", "2026.12.8.65535"
      VALUE "ProductName", "Ünïcode ☃ Viewer"
      VALUE "ProductVersion", "2026.12.8.65535"
      VALUE "OriginalFilename", "VorlaneLauncher.exe"
      VALUE "LegalCopyright", "© 2026 Example Ltd"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
)");
    // Every resource windres made is there, byte for byte, in the same language.
    size_t changed = 0;
    for (const Resource& expected : oracle) {
        SCOPED_TRACE(std::to_string(expected.type.id) + "/" + std::to_string(expected.name.id));
        const Resource* got = Find(ours, expected.type.id, expected.name.id, expected.name.name);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->language, expected.language);
        EXPECT_TRUE(got->data == expected.data);
        ++changed;
    }
    // Besides them only the launcher's other resources (the manifest), untouched.
    Resources original;
    ASSERT_EQ(ReadResources(launcher, &original), ResourceResult::Ok);
    size_t kept = 0;
    for (const Resource& r : original) {
        if (r.type.id == RT_ICON_ID || r.type.id == RT_STRING_ID || r.type.id == RT_GROUP_ICON_ID ||
            r.type.id == RT_VERSION_ID) {
            continue;
        }
        const Resource* got = Find(ours, r.type.id, r.name.id, r.name.name);
        ASSERT_NE(got, nullptr);
        EXPECT_TRUE(got->data == r.data && got->language == r.language);
        ++kept;
    }
    EXPECT_NE(Find(original, RT_MANIFEST_ID, 1), nullptr);
    EXPECT_EQ(ours.size(), changed + kept);
}

TEST(ResourceWriter, APngBecomesTheSevenSizesCentredOnATransparentSquare) {
    std::vector<IconImage> images;
    ASSERT_EQ(IconImages(PngBytes(300, 200, 1), &images), ResourceResult::Ok);
    const int sides[] = {256, 128, 64, 48, 32, 24, 16};
    ASSERT_EQ(images.size(), 7u);
    for (size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(sides[i]);
        EXPECT_EQ(images[i].width, sides[i] & 0xFF);
        EXPECT_EQ(images[i].height, sides[i] & 0xFF);
        int w = 0, h = 0, channels = 0;
        stbi_uc* pixels = stbi_load_from_memory(images[i].data.data(), static_cast<int>(images[i].data.size()), &w,
                                                &h, &channels, 4);
        ASSERT_NE(pixels, nullptr);
        EXPECT_EQ(w, sides[i]);
        EXPECT_EQ(h, sides[i]);
        // A sixth of the square above the picture is clear; its middle is not.
        EXPECT_EQ(pixels[3], 0);
        const size_t middle = static_cast<size_t>(h / 2) * static_cast<size_t>(w) + static_cast<size_t>(w / 2);
        EXPECT_GT(pixels[middle * 4 + 3], 0);
        stbi_image_free(pixels);
    }
    // Never enlarged; refused below 16 pixels, and what is no picture.
    ASSERT_EQ(IconImages(PngBytes(40, 20, 2), &images), ResourceResult::Ok);
    EXPECT_EQ(images.size(), 3u);  // 32, 24, 16
    EXPECT_EQ(IconImages(PngBytes(15, 15, 3), &images), ResourceResult::IconTooSmall);
    std::vector<uint8_t> cut = PngBytes(64, 64, 4);
    cut.resize(cut.size() / 2);
    EXPECT_EQ(IconImages(cut, &images), ResourceResult::DamagedIcon);
    EXPECT_EQ(IconImages({'G', 'I', 'F', '8', '9', 'a', 0, 0}, &images), ResourceResult::NotAnIcon);
}

// An .ico whose count entries all name the same size bytes after the directory.
std::vector<uint8_t> SameBytesIco(uint16_t count, uint32_t size) {
    std::vector<uint8_t> ico = {0, 0, 1, 0, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
    const uint32_t offset = 6 + 16u * count;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t entry[16] = {16, 16, 0, 0, 1, 0, 32, 0};
        ico.insert(ico.end(), entry, entry + 16);
        Put32At(&ico, ico.size() - 8, size);
        Put32At(&ico, ico.size() - 4, offset);
    }
    ico.resize(offset + size, 0x5A);
    return ico;
}

TEST(ResourceWriter, IconWorkIsBoundedByTheLongerSideAndTheIcoFilesOwnBytes) {
    std::vector<IconImage> images;
    // The work is on the square of the longer side: that side is capped,
    // however thin the picture (a few hundred bytes would ask for a gigabyte).
    for (const auto& sides : {std::pair<int, int>{16384, 1}, {1, 16384}, {4097, 16}}) {
        SCOPED_TRACE(sides.first);
        const std::vector<uint8_t> thin = PngBytes(sides.first, sides.second, 5);
        EXPECT_EQ(IconImages(thin, &images), ResourceResult::IconTooLarge);
        EXPECT_TRUE(images.empty());
    }

    // Entries naming the same bytes over and over: refused by their count,
    // and below it by adding up to more than the file holds.
    const std::vector<uint8_t> thousands = SameBytesIco(4000, 1u << 20);
    EXPECT_EQ(IconImages(thousands, &images), ResourceResult::IconTooManyImages);
    EXPECT_EQ(IconImages(SameBytesIco(257, 64), &images), ResourceResult::IconTooManyImages);
    EXPECT_EQ(IconImages(SameBytesIco(2, 64), &images), ResourceResult::IconImagesOverlap);
    EXPECT_EQ(IconImages(SameBytesIco(256, 1u << 12), &images), ResourceResult::IconImagesOverlap);
    EXPECT_TRUE(images.empty());
    ASSERT_EQ(IconImages(SameBytesIco(1, 64), &images), ResourceResult::Ok);
    ASSERT_EQ(IconImages(Ico({16, 32, 256}), &images), ResourceResult::Ok);
    EXPECT_EQ(images.size(), 3u);
}

TEST(ResourceWriter, AGrownSectionMovesTheRelocationsAfterIt) {
    std::vector<uint8_t> launcher;
    if (!LauncherBuilt(&launcher)) GTEST_SKIP() << "no cross-built launcher at " << LAUNCHER;
    ResourceJob job;
    job.icon = PngBytes(512, 512, 5);  // noise: large images, the section grows by hundreds of KiB
    std::vector<uint8_t> out;
    ASSERT_EQ(RewriteResources(launcher, job, &out), ResourceResult::Ok);

    const size_t rsrc = SectionNamed(out, ".rsrc");
    const size_t reloc = SectionNamed(out, ".reloc");
    const size_t oldReloc = SectionNamed(launcher, ".reloc");
    const Layout l = LayoutOf(out);
    const size_t optional = l.pe + 24;
    const uint32_t sectionAlign = Le32At(out, optional + 32);
    const uint32_t fileAlign = Le32At(out, optional + 36);
    auto align = [](uint32_t v, uint32_t a) { return (v + a - 1) / a * a; };
    const uint32_t rsrcVa = Le32At(out, rsrc + 12);
    const uint32_t rsrcSize = Le32At(out, rsrc + 8);
    ASSERT_GT(rsrcSize, Le32At(launcher, oldReloc + 12) - rsrcVa);
    // .reloc follows the new .rsrc in memory and in the file, its bytes as they were.
    EXPECT_EQ(Le32At(out, reloc + 12), align(rsrcVa + rsrcSize, sectionAlign));
    EXPECT_EQ(Le32At(out, rsrc + 16), align(rsrcSize, fileAlign));
    EXPECT_EQ(Le32At(out, reloc + 20), Le32At(out, rsrc + 20) + Le32At(out, rsrc + 16));
    const uint32_t relocRaw = Le32At(out, reloc + 16);
    ASSERT_EQ(relocRaw, Le32At(launcher, oldReloc + 16));
    EXPECT_TRUE(std::equal(out.begin() + Le32At(out, reloc + 20), out.begin() + Le32At(out, reloc + 20) + relocRaw,
                           launcher.begin() + Le32At(launcher, oldReloc + 20)));
    EXPECT_EQ(out.size(), Le32At(out, reloc + 20) + relocRaw);
    // The directories name the moved relocations and the new size; the image's size covers it.
    const size_t directories = optional + 112;
    EXPECT_EQ(Le32At(out, directories + 8 * 5) - Le32At(out, reloc + 12),
              Le32At(launcher, directories + 8 * 5) - Le32At(launcher, oldReloc + 12));
    EXPECT_EQ(Le32At(out, directories + 8 * 2 + 4), rsrcSize);
    EXPECT_EQ(Le32At(out, optional + 56), align(Le32At(out, reloc + 12) + Le32At(out, reloc + 8), sectionAlign));
    EXPECT_EQ(Le32At(out, optional + 64), DefinedPeChecksum(out, optional + 64));
    // Everything before .rsrc but those header fields is the launcher's.
    const size_t headers = Le32At(out, optional + 60);
    EXPECT_TRUE(std::equal(out.begin() + static_cast<long>(headers), out.begin() + Le32At(out, rsrc + 20),
                           launcher.begin() + static_cast<long>(headers)));

    // Without a relocation directory nothing may move: a grown section is refused,
    // one that still fits is written in place.
    std::vector<uint8_t> fixed = launcher;
    Put32At(&fixed, directories + 8 * 5, 0);
    Put32At(&fixed, directories + 8 * 5 + 4, 0);
    EXPECT_EQ(RewriteResources(fixed, job, &out), ResourceResult::SectionCannotMove);
    ResourceJob small;
    small.strings = {{4, u"TRUE"}};
    ASSERT_EQ(RewriteResources(fixed, small, &out), ResourceResult::Ok);
    EXPECT_EQ(out.size(), Le32At(launcher, oldReloc + 20) + Le32At(launcher, oldReloc + 16));
    const long header = static_cast<long>(oldReloc);
    EXPECT_TRUE(std::equal(launcher.begin() + header, launcher.begin() + header + 40, out.begin() + header));
}

TEST(ResourceWriter, TextsTheLauncherCannotReadAreRefused) {
    std::vector<uint8_t> launcher;
    if (!LauncherBuilt(&launcher)) GTEST_SKIP() << "no cross-built launcher at " << LAUNCHER;
    std::vector<uint8_t> out;
    ResourceJob job;
    job.strings = {{7, std::u16string(254, u'p') + u"\U0001F600"}};  // 256 units: the emoji is a surrogate pair
    EXPECT_EQ(RewriteResources(launcher, job, &out), ResourceResult::TextTooLong);
    job.strings = {{7, std::u16string(253, u'p') + u"\U0001F600"}};
    ASSERT_EQ(RewriteResources(launcher, job, &out), ResourceResult::Ok);
    Resources read;
    ASSERT_EQ(ReadResources(out, &read), ResourceResult::Ok);
    const Resource* table = Find(read, RT_STRING_ID, 1);
    ASSERT_NE(table, nullptr);
    // Ids 0 to 6 come first in the block: 4, 5, 6 hold FALSE, NO, Y.
    EXPECT_EQ(table->data.size(), 2u * 16 + 2 * (5 + 2 + 1 + 255));

    for (const ResourceJob& nul : {ResourceJob{{{5, std::u16string(u"a\0b", 3)}}, {}, false, {}, {}},
                                   ResourceJob{{}, {}, false, {}, {{u"ProductName", std::u16string(u"a\0", 2)}}}}) {
        EXPECT_EQ(RewriteResources(launcher, nul, &out), ResourceResult::TextHasNul);
    }
}

// A resource section of three levels whose every entry names the same
// directory below: a handful of bytes that stand for billions of leaves.
std::vector<uint8_t> SharedDirectories(uint16_t entries) {
    const size_t directory = 16 + 8 * static_cast<size_t>(entries);
    std::vector<uint8_t> section(3 * directory + 16 + 64, 0);
    for (size_t level = 0; level < 3; ++level) {
        const size_t at = level * directory;
        section[at + 14] = static_cast<uint8_t>(entries);
        section[at + 15] = static_cast<uint8_t>(entries >> 8);
        for (size_t e = 0; e < entries; ++e) {
            Put32At(&section, at + 16 + 8 * e, static_cast<uint32_t>(e + 1));
            const size_t next = level < 2 ? (level + 1) * directory | 0x80000000u : 3 * directory;
            Put32At(&section, at + 20 + 8 * e, static_cast<uint32_t>(next));
        }
    }
    Put32At(&section, 3 * directory, static_cast<uint32_t>(3 * directory + 16));  // the data's RVA (section at 0)
    Put32At(&section, 3 * directory + 4, 64);
    return section;
}

TEST(ResourceWriter, DamagedTreesAreRefusedQuicklyAndNeverCrash) {
    Resources resources;
    EXPECT_EQ(ReadResourceSection(SharedDirectories(1).data(), SharedDirectories(1).size(), 0, &resources),
              ResourceResult::Ok);
    const std::vector<uint8_t> shared = SharedDirectories(2000);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadResourceSection(shared.data(), shared.size(), 0, &resources), ResourceResult::DamagedResources);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

    // Every byte of the launcher's resource section changed in turn, a fixed
    // sequence of values: each rewrite ends with a result.
    std::vector<uint8_t> launcher;
    if (!LauncherBuilt(&launcher)) GTEST_SKIP() << "no cross-built launcher at " << LAUNCHER;
    const size_t rsrc = SectionNamed(launcher, ".rsrc");
    const size_t start = Le32At(launcher, rsrc + 20);
    const size_t size = Le32At(launcher, rsrc + 8);
    ResourceJob job;
    job.strings = {{4, u"TRUE"}};
    job.icon = Ico({16});
    job.setVersion = true;
    std::mt19937 values(1);
    std::vector<uint8_t> damaged = launcher;
    std::vector<uint8_t> out;
    size_t refused = 0;
    for (size_t at = start; at < start + size; at += 5) {
        damaged[at] = static_cast<uint8_t>(values());
        const ResourceResult result = RewriteResources(damaged, job, &out);
        refused += result != ResourceResult::Ok;
        if (result == ResourceResult::Ok) {
            Resources read;
            EXPECT_EQ(ReadResources(out, &read), ResourceResult::Ok) << at;
        }
        damaged[at] = launcher[at];
    }
    EXPECT_GT(refused, 0u);

    // Headers that would place the rebuilt section outside what is written:
    // no raw data behind the directory's section, an alignment whose rounding
    // wraps, the section over the headers.
    const size_t optional = LayoutOf(launcher).pe + 24;
    struct Damage {
        size_t at;
        uint32_t value;
    };
    for (const Damage& d : {Damage{rsrc + 16, 0}, Damage{optional + 36, 0xFFFFF000u}, Damage{optional + 36, 3},
                            Damage{optional + 32, 0x80000001u}, Damage{rsrc + 20, 0}}) {
        damaged = launcher;
        Put32At(&damaged, d.at, d.value);
        EXPECT_NE(RewriteResources(damaged, job, &out), ResourceResult::Ok) << d.at << " " << d.value;
    }
}

}  // namespace
