// What the launcher's own resources hold, read from its image's bytes: the
// string table (the settings, the publisher and the pin), the version block
// and the icon group MAIN.
#include "tools/inspect/inspect.h"
#include "tools/inspect/pe_layout.h"

namespace {

struct ResourceTree {
    const uint8_t* bytes;
    size_t size;
    const PeBytes* image;
    size_t base;  // file offset of the root directory
};

// The entries of the directory at offset (relative to the root): calls visit
// with each entry's id (or, for a named entry, -1 and its name) and its target.
template <typename Visit>
void Entries(const ResourceTree& t, size_t directory, Visit visit) {
    const size_t at = t.base + directory;
    if (!Has(t.size, at, 16)) return;
    const uint32_t total = static_cast<uint32_t>(Le16(t.bytes + at + 12)) + Le16(t.bytes + at + 14);
    for (uint32_t i = 0; i < total && i < 4096; ++i) {
        const size_t entry = at + 16 + static_cast<size_t>(i) * 8;
        if (!Has(t.size, entry, 8)) return;
        const uint32_t name = Le32(t.bytes + entry);
        const uint32_t target = Le32(t.bytes + entry + 4);
        std::u16string text;
        if (name & 0x80000000u) {
            const size_t n = t.base + (name & 0x7FFFFFFFu);
            if (!Has(t.size, n, 2)) continue;
            const size_t length = Le16(t.bytes + n);
            if (!Has(t.size, n + 2, length * 2)) continue;
            for (size_t c = 0; c < length; ++c) text.push_back(static_cast<char16_t>(Le16(t.bytes + n + 2 + c * 2)));
        }
        if (!visit(name & 0x80000000u ? -1 : static_cast<int64_t>(name), text, target)) return;
    }
}

// The data of the first language of type/name: its file offset and size.
bool Leaf(const ResourceTree& t, uint32_t type, int64_t id, const char16_t* name, size_t* offset, size_t* length) {
    bool found = false;
    Entries(t, 0, [&](int64_t typeId, const std::u16string&, uint32_t typeTarget) {
        if (typeId != type || !(typeTarget & 0x80000000u)) return true;
        Entries(t, typeTarget & 0x7FFFFFFFu, [&](int64_t nameId, const std::u16string& text, uint32_t nameTarget) {
            const bool wanted = name != nullptr ? nameId < 0 && text == name : nameId == id;
            if (!wanted || !(nameTarget & 0x80000000u)) return true;
            Entries(t, nameTarget & 0x7FFFFFFFu, [&](int64_t, const std::u16string&, uint32_t langTarget) {
                const size_t data = t.base + (langTarget & 0x7FFFFFFFu);
                if ((langTarget & 0x80000000u) || !Has(t.size, data, 16)) return false;
                const uint32_t size = Le32(t.bytes + data + 4);
                found = OffsetOfRva(*t.image, Le32(t.bytes + data), offset) &&
                        Has(t.size, *offset, size);
                *length = size;
                return false;
            });
            return false;
        });
        return false;
    });
    return found;
}

void ReadStrings(const ResourceTree& t, LauncherFacts* facts) {
    size_t at = 0;
    size_t length = 0;
    if (!Leaf(t, 6, 1, nullptr, &at, &length)) return;  // block 1: ids 0 to 15
    const size_t end = at + length;
    for (int id = 0; id < 16; ++id) {
        if (at + 2 > end) return;
        const size_t count = Le16(t.bytes + at);
        at += 2;
        if (count * 2 > end - at) return;
        if (id >= static_cast<int>(FIRST_STRING_ID) && id <= static_cast<int>(LAST_STRING_ID) && count > 0) {
            MaybeText& text = facts->strings[id - static_cast<int>(FIRST_STRING_ID)];
            text.present = true;
            for (size_t c = 0; c < count; ++c) text.text.push_back(static_cast<char16_t>(Le16(t.bytes + at + c * 2)));
        }
        at += count * 2;
    }
}

// One node of a version block: its extent, key, value and children.
struct VersionNode {
    size_t end = 0;
    size_t valueLength = 0;
    uint16_t type = 0;
    std::u16string key;
    size_t value = 0;  // offset of the value, 4-aligned after the key
};

size_t Align4(size_t at, size_t origin) { return origin + ((at - origin + 3) & ~static_cast<size_t>(3)); }

bool ReadNode(const uint8_t* bytes, size_t at, size_t limit, size_t origin, VersionNode* node) {
    if (at + 6 > limit) return false;
    const size_t length = Le16(bytes + at);
    if (length < 6 || length > limit - at) return false;
    node->end = at + length;
    node->valueLength = Le16(bytes + at + 2);
    node->type = Le16(bytes + at + 4);
    node->key.clear();
    size_t p = at + 6;
    while (p + 2 <= node->end && Le16(bytes + p) != 0) {
        node->key.push_back(static_cast<char16_t>(Le16(bytes + p)));
        p += 2;
    }
    node->value = Align4(p + 2, origin);
    return p + 2 <= node->end;
}

void ReadVersion(const ResourceTree& t, LauncherFacts* facts) {
    size_t at = 0;
    size_t length = 0;
    if (!Leaf(t, 16, 1, nullptr, &at, &length)) return;
    const uint8_t* b = t.bytes;
    const size_t origin = at;
    VersionNode root;
    if (!ReadNode(b, at, at + length, origin, &root) || root.key != u"VS_VERSION_INFO") return;
    if (root.valueLength >= 52 && root.value + 52 <= root.end && Le32(b + root.value) == 0xFEEF04BDu) {
        facts->hasVersion = true;
        const uint32_t parts[4] = {Le32(b + root.value + 8), Le32(b + root.value + 12), Le32(b + root.value + 16),
                                   Le32(b + root.value + 20)};
        for (int i = 0; i < 2; ++i) {
            facts->fileVersion[2 * i] = static_cast<uint16_t>(parts[i] >> 16);
            facts->fileVersion[2 * i + 1] = static_cast<uint16_t>(parts[i]);
            facts->productVersion[2 * i] = static_cast<uint16_t>(parts[2 + i] >> 16);
            facts->productVersion[2 * i + 1] = static_cast<uint16_t>(parts[2 + i]);
        }
    }
    for (size_t child = Align4(root.value + root.valueLength, origin); child < root.end;) {
        VersionNode info;
        if (!ReadNode(b, child, root.end, origin, &info)) return;
        if (info.key == u"StringFileInfo") {
            VersionNode table;
            if (!ReadNode(b, info.value, info.end, origin, &table)) return;
            for (size_t s = table.value; s < table.end;) {
                VersionNode entry;
                if (!ReadNode(b, s, table.end, origin, &entry)) return;
                std::u16string value;
                for (size_t p = entry.value; p + 2 <= entry.end && Le16(b + p) != 0; p += 2) {
                    value.push_back(static_cast<char16_t>(Le16(b + p)));
                }
                facts->versionStrings.emplace_back(Utf8Of(entry.key), value);
                s = Align4(entry.end, origin);
            }
            return;
        }
        child = Align4(info.end, origin);
    }
}

void ReadIcons(const ResourceTree& t, LauncherFacts* facts) {
    size_t at = 0;
    size_t length = 0;
    if (!Leaf(t, 14, 0, u"MAIN", &at, &length) || length < 6) return;
    const size_t count = Le16(t.bytes + at + 4);
    for (size_t i = 0; i < count && 6 + (i + 1) * 14 <= length; ++i) facts->iconSizes.push_back(t.bytes[at + 6 + i * 14]);
}

}  // namespace

LauncherFacts ReadLauncherFacts(const uint8_t* bytes, size_t size) {
    LauncherFacts facts;
    PeBytes image;
    uint32_t rva = 0;
    uint32_t length = 0;
    if (!ReadPeBytes(bytes, size, &image)) return facts;
    facts.read = true;
    if (!Directory(image, DIRECTORY_RESOURCES, &rva, &length)) return facts;
    ResourceTree tree{bytes, size, &image, 0};
    if (!OffsetOfRva(image, rva, &tree.base)) return facts;
    ReadStrings(tree, &facts);
    ReadVersion(tree, &facts);
    ReadIcons(tree, &facts);
    return facts;
}
