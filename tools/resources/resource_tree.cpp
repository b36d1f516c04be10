// The resource section as a list of leaves and back: three directory levels
// (type, name, language) over data entries that hold RVAs.
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "tools/resources/resources.h"

namespace {

constexpr uint32_t SUBDIRECTORY = 0x80000000u;
constexpr size_t MAX_ENTRIES = 65536;  // per directory: far more than any image holds

struct Reader {
    const uint8_t* bytes;
    size_t size;
    uint32_t rva;
    Resources* out;
    // What a sound tree stays within: each 8-byte entry is read once and no
    // two leaves share data. Directories that name the same directory below
    // would otherwise make a few bytes stand for billions of leaves.
    size_t entriesLeft;
    size_t dataLeft;
};

bool ReadKey(const Reader& r, uint32_t field, ResourceKey* key) {
    key->name.clear();
    key->id = 0;
    if (!(field & SUBDIRECTORY)) {
        key->id = field & 0xFFFF;
        return field <= 0xFFFF;
    }
    const size_t at = field & ~SUBDIRECTORY;
    if (!Has(r.size, at, 2)) return false;
    const size_t length = Le16(r.bytes + at);
    if (length == 0 || !Has(r.size, at + 2, length * 2)) return false;
    for (size_t i = 0; i < length; ++i) key->name.push_back(static_cast<char16_t>(Le16(r.bytes + at + 2 + 2 * i)));
    return true;
}

// The directory at offset: level 0 types, 1 names, 2 languages (whose entries are data).
bool ReadDirectory(Reader* reader, size_t at, int level, Resource* path) {
    const Reader& r = *reader;
    if (!Has(r.size, at, 16)) return false;
    const size_t count = static_cast<size_t>(Le16(r.bytes + at + 12)) + Le16(r.bytes + at + 14);
    if (count > MAX_ENTRIES || count > reader->entriesLeft || !Has(r.size, at + 16, count * 8)) return false;
    reader->entriesLeft -= count;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = r.bytes + at + 16 + i * 8;
        const uint32_t target = Le32(entry + 4);
        ResourceKey key;
        if (!ReadKey(r, Le32(entry), &key)) return false;
        if (level == 0) path->type = key;
        if (level == 1) path->name = key;
        if (level < 2) {
            // Only subdirectories below types and names: this also rules out loops.
            if (!(target & SUBDIRECTORY) || !ReadDirectory(reader, target & ~SUBDIRECTORY, level + 1, path)) {
                return false;
            }
            continue;
        }
        if (!key.name.empty() || (target & SUBDIRECTORY) || !Has(r.size, target, 16)) return false;
        Resource leaf = *path;
        leaf.language = static_cast<uint16_t>(key.id);
        const uint32_t dataRva = Le32(r.bytes + target);
        const uint32_t dataSize = Le32(r.bytes + target + 4);
        leaf.codePage = Le32(r.bytes + target + 8);
        if (dataRva < r.rva || !Has(r.size, dataRva - r.rva, dataSize) || dataSize > reader->dataLeft) return false;
        reader->dataLeft -= dataSize;
        leaf.data.assign(r.bytes + (dataRva - r.rva), r.bytes + (dataRva - r.rva) + dataSize);
        r.out->push_back(std::move(leaf));
    }
    return true;
}

// Named entries first, sorted by name as the loader's binary search expects, then ids ascending.
bool KeyLess(const ResourceKey& a, const ResourceKey& b) {
    if (a.name.empty() != b.name.empty()) return !a.name.empty();
    if (!a.name.empty()) return a.name < b.name;
    return a.id < b.id;
}
bool KeySame(const ResourceKey& a, const ResourceKey& b) { return a.id == b.id && a.name == b.name; }

}  // namespace

ResourceResult ReadResourceSection(const uint8_t* section, size_t size, uint32_t rva, Resources* resources) {
    resources->clear();
    Reader reader{section, size, rva, resources, size / 8, size};
    Resource path;
    return ReadDirectory(&reader, 0, 0, &path) ? ResourceResult::Ok : ResourceResult::DamagedResources;
}

std::vector<uint8_t> BuildResourceSection(const Resources& resources, uint32_t rva) {
    std::vector<const Resource*> order;
    for (const Resource& r : resources) order.push_back(&r);
    std::stable_sort(order.begin(), order.end(), [](const Resource* a, const Resource* b) {
        if (!KeySame(a->type, b->type)) return KeyLess(a->type, b->type);
        if (!KeySame(a->name, b->name)) return KeyLess(a->name, b->name);
        return a->language < b->language;
    });

    // The directories: the root, one per type, one per type and name; leaves in order.
    struct Directory {
        std::vector<size_t> children;  // directory indexes, or leaf indexes at the language level
        const ResourceKey* key = nullptr;
    };
    std::vector<Directory> types;      // children: name directories
    std::vector<Directory> names;      // children: leaves
    for (size_t i = 0; i < order.size(); ++i) {
        const Resource& r = *order[i];
        if (types.empty() || !KeySame(*types.back().key, r.type)) {
            types.push_back(Directory{{}, &r.type});
        }
        if (i == 0 || !KeySame(order[i - 1]->type, r.type) || !KeySame(order[i - 1]->name, r.name)) {
            types.back().children.push_back(names.size());
            names.push_back(Directory{{}, &r.name});
        }
        names.back().children.push_back(i);
    }

    // Offsets: root, type directories, name directories, strings, data entries, data.
    auto directorySize = [](size_t entries) { return 16 + 8 * entries; };
    size_t at = directorySize(types.size());
    std::vector<size_t> typeAt, nameAt;
    for (const Directory& d : types) {
        typeAt.push_back(at);
        at += directorySize(d.children.size());
    }
    for (const Directory& d : names) {
        nameAt.push_back(at);
        at += directorySize(d.children.size());
    }
    std::vector<size_t> typeNameAt(types.size()), nameNameAt(names.size());
    for (size_t i = 0; i < types.size(); ++i) {
        if (!types[i].key->name.empty()) {
            typeNameAt[i] = at;
            at += 2 + 2 * types[i].key->name.size();
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (!names[i].key->name.empty()) {
            nameNameAt[i] = at;
            at += 2 + 2 * names[i].key->name.size();
        }
    }
    at = (at + 3) & ~static_cast<size_t>(3);
    const size_t entriesAt = at;
    at += 16 * order.size();
    std::vector<size_t> dataAt;
    for (const Resource* r : order) {
        at = (at + 7) & ~static_cast<size_t>(7);
        dataAt.push_back(at);
        at += r->data.size();
    }

    std::vector<uint8_t> out(at, 0);
    auto header = [&](size_t where, const std::vector<size_t>& children, auto keyOf) {
        uint16_t named = 0;
        for (size_t c : children) named = static_cast<uint16_t>(named + (keyOf(c).name.empty() ? 0 : 1));
        PutLe16(&out[where + 12], named);
        PutLe16(&out[where + 14], static_cast<uint16_t>(children.size() - named));
    };
    auto writeName = [&](size_t where, const std::u16string& name) {
        PutLe16(&out[where], static_cast<uint16_t>(name.size()));
        for (size_t c = 0; c < name.size(); ++c) PutLe16(&out[where + 2 + 2 * c], name[c]);
    };
    std::vector<size_t> rootChildren;
    for (size_t i = 0; i < types.size(); ++i) rootChildren.push_back(i);
    header(0, rootChildren, [&](size_t t) -> const ResourceKey& { return *types[t].key; });
    for (size_t t = 0; t < types.size(); ++t) {
        uint8_t* entry = &out[16 + 8 * t];
        if (types[t].key->name.empty()) {
            PutLe32(entry, types[t].key->id);
        } else {
            PutLe32(entry, SUBDIRECTORY | static_cast<uint32_t>(typeNameAt[t]));
            writeName(typeNameAt[t], types[t].key->name);
        }
        PutLe32(entry + 4, SUBDIRECTORY | static_cast<uint32_t>(typeAt[t]));
        header(typeAt[t], types[t].children, [&](size_t n) -> const ResourceKey& { return *names[n].key; });
        for (size_t c = 0; c < types[t].children.size(); ++c) {
            const size_t n = types[t].children[c];
            uint8_t* nameEntry = &out[typeAt[t] + 16 + 8 * c];
            if (names[n].key->name.empty()) {
                PutLe32(nameEntry, names[n].key->id);
            } else {
                PutLe32(nameEntry, SUBDIRECTORY | static_cast<uint32_t>(nameNameAt[n]));
                writeName(nameNameAt[n], names[n].key->name);
            }
            PutLe32(nameEntry + 4, SUBDIRECTORY | static_cast<uint32_t>(nameAt[n]));
            PutLe16(&out[nameAt[n] + 14], static_cast<uint16_t>(names[n].children.size()));
            for (size_t l = 0; l < names[n].children.size(); ++l) {
                const size_t leaf = names[n].children[l];
                uint8_t* langEntry = &out[nameAt[n] + 16 + 8 * l];
                PutLe32(langEntry, order[leaf]->language);
                PutLe32(langEntry + 4, static_cast<uint32_t>(entriesAt + 16 * leaf));
                uint8_t* data = &out[entriesAt + 16 * leaf];
                PutLe32(data, rva + static_cast<uint32_t>(dataAt[leaf]));
                PutLe32(data + 4, static_cast<uint32_t>(order[leaf]->data.size()));
                PutLe32(data + 8, order[leaf]->codePage);
                if (!order[leaf]->data.empty()) {
                    std::memcpy(&out[dataAt[leaf]], order[leaf]->data.data(), order[leaf]->data.size());
                }
            }
        }
    }
    return out;
}
