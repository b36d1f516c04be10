// The launcher's resources rewritten for one application, on the image's
// bytes in memory: the string table (settings 4, 5 and 6, the publisher 7, the
// runtime's pin 8), the icon group MAIN and the version block. Everything else
// (the manifest, other resources) is kept. The result is a whole PE image: its
// .rsrc section rebuilt, the sections after it moved when it grows, the header
// sizes and the checksum recomputed, and nothing past the last section (a
// signature or an archive of an earlier packing is left behind).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t RT_ICON_ID = 3;
constexpr uint32_t RT_STRING_ID = 6;
constexpr uint32_t RT_GROUP_ICON_ID = 14;
constexpr uint32_t RT_VERSION_ID = 16;
constexpr uint32_t RT_MANIFEST_ID = 24;

// The launcher reads strings into 256-character buffers, terminator included.
constexpr size_t STRING_CAPACITY = 255;

enum class ResourceResult {
    Ok,
    NotPe,               // not a PE image whose headers this writer can read
    NoResources,         // no resource directory, or it does not start a section
    DamagedResources,    // the resource tree or a resource points outside the image
    SectionCannotMove,   // .rsrc must grow but a section after it holds more than relocations
    TextTooLong,         // a string over STRING_CAPACITY UTF-16 units
    TextHasNul,          // a string or version value with a NUL in it
    NotAnIcon,           // the icon is neither an .ico file nor a PNG image
    DamagedIcon,         // an .ico whose images lie outside it, or a PNG that cannot be decoded
    IconTooManyImages,   // an .ico listing more than 256 images
    IconImagesOverlap,   // an .ico whose images add up to more bytes than follow its directory
    IconTooSmall,        // a PNG smaller than 16 pixels on its longer side
    IconTooLarge,        // a PNG over 4096 pixels on its longer side
    OutOfMemory,         // the memory to decode, scale or encode a picture cannot be had
    NoVersionBlock,      // version values asked for, but the image has no version block
    DamagedVersionBlock,
};

// What a result means, for messages.
const char* ResourceResultText(ResourceResult result);

// A resource type or name: a number, or (name not empty) a name.
struct ResourceKey {
    uint32_t id = 0;
    std::u16string name;
};

struct Resource {
    ResourceKey type;
    ResourceKey name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    std::vector<uint8_t> data;
};

// The resource tree as its leaves, in the order they were read.
using Resources = std::vector<Resource>;

// One string of the table: empty text leaves the string out.
struct StringChange {
    uint32_t id;
    std::u16string text;
};

// A version block value: empty text removes it.
struct VersionString {
    std::u16string key;  // ProductName, CompanyName, FileDescription, LegalCopyright, OriginalFilename, ...
    std::u16string text;
};

struct ResourceJob {
    std::vector<StringChange> strings;
    std::vector<uint8_t> icon;  // an .ico file's or a PNG image's bytes; empty: the icon stays
    bool setVersion = false;    // file and product version, and their FileVersion/ProductVersion texts
    uint16_t version[4] = {0, 0, 0, 0};
    std::vector<VersionString> versionStrings;
};

// The image with the job's changes in its resources, in *out.
ResourceResult RewriteResources(const std::vector<uint8_t>& image, const ResourceJob& job, std::vector<uint8_t>* out);

// "a", "a.b", "a.b.c" or "a.b.c.d", each part 0 to 65535, padded with zeros to
// four parts; false for anything else.
bool ParseVersion(const std::string& text, uint16_t version[4]);

// ---- the steps, for the tools and tests that need one alone ----------------------

// The resources of an image.
ResourceResult ReadResources(const std::vector<uint8_t>& image, Resources* resources);
// The resources read out of a resource section's bytes that start at rva.
ResourceResult ReadResourceSection(const uint8_t* section, size_t size, uint32_t rva, Resources* resources);
// A resource section for rva: directories (named entries first, then ids, each
// sorted), names, data entries, then each resource's data 8-byte aligned.
std::vector<uint8_t> BuildResourceSection(const Resources& resources, uint32_t rva);
// The image with its .rsrc section rebuilt from resources.
ResourceResult WriteResources(const std::vector<uint8_t>& image, const Resources& resources, std::vector<uint8_t>* out);

// The changes applied to resources, each step alone.
ResourceResult SetStrings(Resources* resources, const std::vector<StringChange>& strings);
ResourceResult SetIcon(Resources* resources, const std::vector<uint8_t>& icon);
ResourceResult SetVersion(Resources* resources, const ResourceJob& job);

// One image of an icon, as the icon group lists it.
struct IconImage {
    uint8_t width = 0;  // 0 stands for 256
    uint8_t height = 0;
    uint8_t colorCount = 0;
    uint16_t planes = 1;
    uint16_t bitCount = 32;
    std::vector<uint8_t> data;  // a PNG file or a DIB without its file header
};
// The images of an .ico file, or those a PNG image is made into: 256, 128, 64,
// 48, 32, 24 and 16 pixels, never enlarged, area-averaged on premultiplied
// alpha, a picture that is not square centred on a transparent square.
ResourceResult IconImages(const std::vector<uint8_t>& file, std::vector<IconImage>* images);

// The PE checksum: 16-bit words summed with end-around carry, the field itself counted as zero, plus the length.
uint32_t PeChecksum(const std::vector<uint8_t>& image, size_t field);
