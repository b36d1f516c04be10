// The whole rewrite: read the tree, apply the job, build the section, place it.
#include "tools/resources/resources.h"

ResourceResult RewriteResources(const std::vector<uint8_t>& image, const ResourceJob& job, std::vector<uint8_t>* out) {
    Resources resources;
    ResourceResult result = ReadResources(image, &resources);
    if (result == ResourceResult::Ok && !job.strings.empty()) result = SetStrings(&resources, job.strings);
    if (result == ResourceResult::Ok && !job.icon.empty()) result = SetIcon(&resources, job.icon);
    if (result == ResourceResult::Ok) result = SetVersion(&resources, job);
    if (result != ResourceResult::Ok) return result;
    return WriteResources(image, resources, out);
}

bool ParseVersion(const std::string& text, uint16_t version[4]) {
    uint32_t parts[4] = {0, 0, 0, 0};
    size_t count = 0;
    size_t digits = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || count == 4) return false;
            ++count;
            digits = 0;
            continue;
        }
        if (text[i] < '0' || text[i] > '9' || ++digits > 5 || count == 4) return false;
        parts[count] = parts[count] * 10 + static_cast<uint32_t>(text[i] - '0');
        if (parts[count] > 65535) return false;
    }
    for (int i = 0; i < 4; ++i) version[i] = static_cast<uint16_t>(parts[i]);
    return true;
}

const char* ResourceResultText(ResourceResult result) {
    switch (result) {
        case ResourceResult::Ok: return "done";
        case ResourceResult::NotPe: return "not a PE image whose headers can be read";
        case ResourceResult::NoResources: return "the image has no resource section";
        case ResourceResult::DamagedResources: return "the image's resources are damaged";
        case ResourceResult::SectionCannotMove:
            return "the resources no longer fit: the section after them holds more than relocations";
        case ResourceResult::TextTooLong: return "a string is longer than the launcher reads (255 UTF-16 units)";
        case ResourceResult::TextHasNul: return "a text holds a NUL character";
        case ResourceResult::NotAnIcon: return "the icon is neither an .ico file nor a PNG image";
        case ResourceResult::DamagedIcon: return "the icon file is damaged";
        case ResourceResult::IconTooManyImages: return "the .ico file lists more than 256 images";
        case ResourceResult::IconImagesOverlap:
            return "the .ico file's images add up to more bytes than the file holds (they overlap)";
        case ResourceResult::IconTooSmall: return "the picture is smaller than 16x16 pixels";
        case ResourceResult::IconTooLarge:
            return "the picture is larger than 4096 pixels on its longer side: scale it down to 256 pixels";
        case ResourceResult::OutOfMemory: return "not enough memory to make the icon";
        case ResourceResult::NoVersionBlock: return "the image has no version block to rewrite";
        case ResourceResult::DamagedVersionBlock: return "the image's version block is damaged";
    }
    return "unknown result";
}
