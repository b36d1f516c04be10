// The icon group MAIN: its images from an .ico file as they are, or made from
// a PNG picture (stb_image decodes, stb_image_resize averages, stb_image_write
// encodes each size as PNG, which every Windows since Vista reads in icons).
#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/bytes.h"
#include "tools/resources/resources.h"
#include "tools/resources/stb_memory.h"

namespace {

const uint8_t PNG_SIGNATURE[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const int ICON_SIZES[] = {256, 128, 64, 48, 32, 24, 16};
constexpr int MIN_SIDE = 16;
// A picture is centred on a square of its longer side and every size is
// averaged from that square, so the longer side alone bounds the work: at
// most a 64 MiB square (4 bytes a pixel), whatever the other side.
constexpr int MAX_SIDE = 4096;
// Far more images than any icon holds; each becomes a resource of its own.
constexpr size_t MAX_ICO_IMAGES = 256;
const char16_t ICON_GROUP[] = u"MAIN";

struct FreeStb {
    void operator()(unsigned char* p) const { std::free(p); }
};
using StbBytes = std::unique_ptr<unsigned char, FreeStb>;

// What a failed stb call means: memory ran out if one of its allocations
// failed since failuresBefore, else the given fault.
ResourceResult OutOfMemoryOr(uint64_t failuresBefore, ResourceResult otherwise) {
    return StbFailedAllocations() != failuresBefore ? ResourceResult::OutOfMemory : otherwise;
}

bool IsPng(const std::vector<uint8_t>& file) {
    return file.size() >= sizeof PNG_SIGNATURE && std::memcmp(file.data(), PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0;
}

ResourceResult FromIco(const std::vector<uint8_t>& file, std::vector<IconImage>* images) {
    const uint8_t* b = file.data();
    const size_t count = Le16(b + 4);
    if (count > MAX_ICO_IMAGES) return ResourceResult::IconTooManyImages;
    if (!Has(file.size(), 6, count * 16)) return ResourceResult::DamagedIcon;
    // Images are copied out one by one: entries that name the same bytes over
    // and over would make a small file ask for gigabytes. In a sound file they
    // never overlap, so together they fit in what follows the directory.
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = b + 6 + i * 16;
        const uint32_t size = Le32(e + 8);
        if (size == 0 || !Has(file.size(), Le32(e + 12), size)) return ResourceResult::DamagedIcon;
        total += size;
    }
    if (total > file.size() - 6 - count * 16) return ResourceResult::IconImagesOverlap;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = b + 6 + i * 16;
        const uint32_t size = Le32(e + 8);
        const uint32_t offset = Le32(e + 12);
        IconImage image;
        image.width = e[0];
        image.height = e[1];
        image.colorCount = e[2];
        image.planes = Le16(e + 4);
        image.bitCount = Le16(e + 6);
        image.data.assign(b + offset, b + offset + size);
        // Some writers leave planes and bits at 0; the group entry should say what the image holds.
        const bool dib = size >= 40 && Le32(b + offset) == 40;
        if (image.bitCount == 0) image.bitCount = dib ? Le16(b + offset + 14) : 32;
        if (image.planes == 0) image.planes = 1;
        images->push_back(std::move(image));
    }
    return ResourceResult::Ok;
}

ResourceResult FromPng(const std::vector<uint8_t>& file, std::vector<IconImage>* images) {
    if (file.size() > 0x7FFFFFFF) return ResourceResult::IconTooLarge;
    const int length = static_cast<int>(file.size());
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_memory(file.data(), length, &width, &height, &channels)) return ResourceResult::DamagedIcon;
    if (std::max(width, height) < MIN_SIDE) return ResourceResult::IconTooSmall;
    if (std::max(width, height) > MAX_SIDE) return ResourceResult::IconTooLarge;
    const uint64_t failures = StbFailedAllocations();
    StbBytes pixels(stbi_load_from_memory(file.data(), length, &width, &height, &channels, 4));
    if (!pixels) return OutOfMemoryOr(failures, ResourceResult::DamagedIcon);

    // Centred on a transparent square (zero-initialized).
    const int side = std::max(width, height);
    std::vector<uint8_t> square(static_cast<size_t>(side) * static_cast<size_t>(side) * 4, 0);
    const int left = (side - width) / 2;
    const int top = (side - height) / 2;
    for (int y = 0; y < height; ++y) {
        std::memcpy(&square[(static_cast<size_t>(top + y) * static_cast<size_t>(side) + static_cast<size_t>(left)) * 4],
                    pixels.get() + static_cast<size_t>(y) * static_cast<size_t>(width) * 4, static_cast<size_t>(width) * 4);
    }
    std::vector<uint8_t> scaled;
    for (int size : ICON_SIZES) {
        if (size > side) continue;
        const uint8_t* source = square.data();
        if (size != side) {
            // The box filter covers each output pixel's whole area; without the
            // premultiplied flag stb weights colour by alpha, so clear pixels lend none.
            scaled.assign(static_cast<size_t>(size) * static_cast<size_t>(size) * 4, 0);
            if (!stbir_resize_uint8_generic(square.data(), side, side, 0, scaled.data(), size, size, 0, 4, 3, 0,
                                            STBIR_EDGE_CLAMP, STBIR_FILTER_BOX, STBIR_COLORSPACE_LINEAR, nullptr)) {
                return OutOfMemoryOr(failures, ResourceResult::DamagedIcon);
            }
            source = scaled.data();
        }
        IconImage image;
        image.width = image.height = static_cast<uint8_t>(size == 256 ? 0 : size);
        auto append = [](void* context, void* data, int count) {
            std::vector<uint8_t>* to = static_cast<std::vector<uint8_t>*>(context);
            to->insert(to->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + count);
        };
        if (!stbi_write_png_to_func(append, &image.data, size, size, 4, source, size * 4) || image.data.empty()) {
            return OutOfMemoryOr(failures, ResourceResult::DamagedIcon);
        }
        images->push_back(std::move(image));
    }
    return ResourceResult::Ok;
}

bool IsType(const Resource& r, uint32_t type) { return r.type.name.empty() && r.type.id == type; }
bool IsMainGroup(const Resource& r) { return IsType(r, RT_GROUP_ICON_ID) && r.name.name == ICON_GROUP; }

// The icon ids a group lists.
std::vector<uint32_t> GroupIds(const Resource& group) {
    std::vector<uint32_t> ids;
    if (group.data.size() < 6) return ids;
    const size_t count = Le16(group.data.data() + 4);
    for (size_t i = 0; i < count && 6 + (i + 1) * 14 <= group.data.size(); ++i) {
        ids.push_back(Le16(group.data.data() + 6 + i * 14 + 12));
    }
    return ids;
}

}  // namespace

ResourceResult IconImages(const std::vector<uint8_t>& file, std::vector<IconImage>* images) {
    images->clear();
    if (IsPng(file)) return FromPng(file, images);
    if (file.size() < 6 || Le16(file.data()) != 0 || Le16(file.data() + 2) != 1 || Le16(file.data() + 4) == 0) {
        return ResourceResult::NotAnIcon;
    }
    return FromIco(file, images);
}

ResourceResult SetIcon(Resources* resources, const std::vector<uint8_t>& icon) {
    std::vector<IconImage> images;
    const ResourceResult made = IconImages(icon, &images);
    if (made != ResourceResult::Ok) return made;

    // The old group's language, else the string table's.
    uint16_t language = 0x409;
    for (const Resource& r : *resources) {
        if (IsType(r, RT_STRING_ID)) language = r.language;
    }
    for (const Resource& r : *resources) {
        if (IsMainGroup(r)) language = r.language;
    }
    // The old group goes, with the icons no other group lists.
    std::vector<uint32_t> old;
    std::vector<uint32_t> kept;
    for (const Resource& r : *resources) {
        if (!IsType(r, RT_GROUP_ICON_ID)) continue;
        std::vector<uint32_t>& into = IsMainGroup(r) ? old : kept;
        const std::vector<uint32_t> ids = GroupIds(r);
        into.insert(into.end(), ids.begin(), ids.end());
    }
    resources->erase(std::remove_if(resources->begin(), resources->end(),
                                    [&](const Resource& r) {
                                        if (IsMainGroup(r)) return true;
                                        if (!IsType(r, RT_ICON_ID) || !r.name.name.empty()) return false;
                                        const bool listed = std::find(old.begin(), old.end(), r.name.id) != old.end();
                                        return listed && std::find(kept.begin(), kept.end(), r.name.id) == kept.end();
                                    }),
                     resources->end());

    Resource group;
    group.type.id = RT_GROUP_ICON_ID;
    group.name.name = ICON_GROUP;
    group.language = language;
    group.data = {0, 0, 1, 0, static_cast<uint8_t>(images.size()), static_cast<uint8_t>(images.size() >> 8)};
    uint32_t next = 1;
    for (const IconImage& image : images) {
        auto used = [&](uint32_t id) {
            for (const Resource& r : *resources) {
                if (IsType(r, RT_ICON_ID) && r.name.name.empty() && r.name.id == id) return true;
            }
            return false;
        };
        while (used(next)) ++next;
        if (next > 0xFFFF) return ResourceResult::DamagedResources;
        Resource entry;
        entry.type.id = RT_ICON_ID;
        entry.name.id = next;
        entry.language = language;
        entry.data = image.data;
        resources->push_back(entry);
        uint8_t listed[14] = {image.width, image.height, image.colorCount, 0};
        PutLe16(listed + 4, image.planes);
        PutLe16(listed + 6, image.bitCount);
        PutLe32(listed + 8, static_cast<uint32_t>(image.data.size()));
        PutLe16(listed + 12, static_cast<uint16_t>(next));
        group.data.insert(group.data.end(), listed, listed + sizeof listed);
    }
    resources->push_back(group);
    return ResourceResult::Ok;
}
