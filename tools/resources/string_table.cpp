// The string table: blocks of 16 counted UTF-16 strings, block n holding ids
// 16(n-1) to 16n-1, in the language the build gave the table (LoadString
// finds a string in the thread's language first, then in any).
#include "base/bytes.h"
#include "tools/resources/resources.h"

namespace {

constexpr uint16_t DEFAULT_LANGUAGE = 0x409;  // what the resource compilers give a table without a LANGUAGE

bool IsType(const Resource& r, uint32_t type) { return r.type.name.empty() && r.type.id == type; }

uint16_t TableLanguage(const Resources& resources) {
    for (const Resource& r : resources) {
        if (IsType(r, RT_STRING_ID)) return r.language;
    }
    return DEFAULT_LANGUAGE;
}

bool ReadBlock(const std::vector<uint8_t>& data, std::u16string strings[16]) {
    size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        if (!Has(data.size(), at, 2)) return false;
        const size_t length = Le16(data.data() + at);
        at += 2;
        if (!Has(data.size(), at, length * 2)) return false;
        strings[i].clear();
        for (size_t c = 0; c < length; ++c) strings[i].push_back(static_cast<char16_t>(Le16(data.data() + at + 2 * c)));
        at += length * 2;
    }
    return true;
}

std::vector<uint8_t> WriteBlock(const std::u16string strings[16]) {
    std::vector<uint8_t> out;
    for (int i = 0; i < 16; ++i) {
        out.push_back(static_cast<uint8_t>(strings[i].size()));
        out.push_back(static_cast<uint8_t>(strings[i].size() >> 8));
        for (char16_t c : strings[i]) {
            out.push_back(static_cast<uint8_t>(c));
            out.push_back(static_cast<uint8_t>(c >> 8));
        }
    }
    return out;
}

}  // namespace

ResourceResult SetStrings(Resources* resources, const std::vector<StringChange>& strings) {
    for (const StringChange& change : strings) {
        if (change.text.size() > STRING_CAPACITY) return ResourceResult::TextTooLong;
        if (change.text.find(u'\0') != std::u16string::npos) return ResourceResult::TextHasNul;
        if (change.id > 0xFFFF) return ResourceResult::DamagedResources;
    }
    const uint16_t language = TableLanguage(*resources);
    for (const StringChange& change : strings) {
        const uint32_t block = change.id / 16 + 1;
        Resource* found = nullptr;
        for (Resource& r : *resources) {
            if (IsType(r, RT_STRING_ID) && r.name.name.empty() && r.name.id == block && r.language == language) found = &r;
        }
        std::u16string texts[16];
        if (found != nullptr && !ReadBlock(found->data, texts)) return ResourceResult::DamagedResources;
        texts[change.id % 16] = change.text;
        bool empty = true;
        for (const std::u16string& t : texts) empty = empty && t.empty();
        if (found == nullptr && empty) continue;
        if (found == nullptr) {
            Resource r;
            r.type.id = RT_STRING_ID;
            r.name.id = block;
            r.language = language;
            resources->push_back(r);
            found = &resources->back();
        }
        if (empty) {  // no block of only empty strings: LoadString gives 0 for each either way
            resources->erase(resources->begin() + (found - resources->data()));
            continue;
        }
        found->data = WriteBlock(texts);
    }
    return ResourceResult::Ok;
}
