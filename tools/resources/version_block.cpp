// The version block: a tree of nodes (length, value length, type, key, value,
// children, each 4-byte aligned from the block's start). The fixed part holds
// the numeric versions; StringFileInfo one table of texts per language.
// Written as the resource compilers write it: a node's length ends with its
// last child, a text value's length counts its characters and terminator.
#include <cstring>

#include "base/bytes.h"
#include "tools/resources/resources.h"

namespace {

constexpr uint32_t FIXED_SIGNATURE = 0xFEEF04BDu;
constexpr size_t FIXED_SIZE = 52;
constexpr int MAX_DEPTH = 8;

struct Node {
    uint16_t type = 1;  // 1 text, 0 binary
    std::u16string key;
    std::vector<uint8_t> value;  // text values: UTF-16 with the terminator
    std::vector<Node> children;
};

size_t Align4(size_t at) { return (at + 3) & ~static_cast<size_t>(3); }

bool ReadNode(const uint8_t* b, size_t at, size_t limit, int depth, Node* node) {
    if (depth > MAX_DEPTH || at + 6 > limit) return false;
    const size_t length = Le16(b + at);
    if (length < 6 || length > limit - at) return false;
    const size_t end = at + length;
    const size_t valueLength = Le16(b + at + 2);
    node->type = Le16(b + at + 4);
    node->key.clear();
    size_t p = at + 6;
    for (; p + 2 <= end && Le16(b + p) != 0; p += 2) node->key.push_back(static_cast<char16_t>(Le16(b + p)));
    if (p + 2 > end) return false;
    size_t value = Align4(p + 2);
    if (value > end) value = end;
    // Text lengths count characters; some writers count bytes: never past the node.
    size_t valueBytes = node->type == 1 ? valueLength * 2 : valueLength;
    if (valueBytes > end - value) valueBytes = end - value;
    node->value.assign(b + value, b + value + valueBytes);
    node->children.clear();
    for (size_t child = Align4(value + valueBytes); child + 6 <= end;) {
        Node c;
        if (!ReadNode(b, child, end, depth + 1, &c)) return false;
        child = Align4(child + Le16(b + child));
        node->children.push_back(std::move(c));
    }
    return true;
}

void Pad4(std::vector<uint8_t>* out) {
    while (out->size() % 4 != 0) out->push_back(0);
}

void WriteNode(const Node& node, std::vector<uint8_t>* out) {
    Pad4(out);
    const size_t start = out->size();
    out->resize(start + 6);
    for (char16_t c : node.key) {
        out->push_back(static_cast<uint8_t>(c));
        out->push_back(static_cast<uint8_t>(c >> 8));
    }
    out->push_back(0);
    out->push_back(0);
    Pad4(out);
    out->insert(out->end(), node.value.begin(), node.value.end());
    for (const Node& child : node.children) WriteNode(child, out);
    const size_t valueLength = node.type == 1 ? node.value.size() / 2 : node.value.size();
    PutLe16(&(*out)[start], static_cast<uint16_t>(out->size() - start));
    PutLe16(&(*out)[start + 2], static_cast<uint16_t>(valueLength));
    PutLe16(&(*out)[start + 4], node.type);
}

std::vector<uint8_t> TextValue(const std::u16string& text) {
    std::vector<uint8_t> out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::u16string Digits(uint16_t part) {
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(u'0' + part % 10));
        part = static_cast<uint16_t>(part / 10);
    } while (part != 0);
    return out;
}

void SetText(Node* table, const std::u16string& key, const std::u16string& text) {
    for (size_t i = 0; i < table->children.size(); ++i) {
        if (table->children[i].key != key) continue;
        if (text.empty()) {
            table->children.erase(table->children.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            table->children[i].type = 1;
            table->children[i].value = TextValue(text);
            table->children[i].children.clear();
        }
        return;
    }
    if (text.empty()) return;
    Node value;
    value.key = key;
    value.value = TextValue(text);
    table->children.push_back(value);
}

}  // namespace

ResourceResult SetVersion(Resources* resources, const ResourceJob& job) {
    if (!job.setVersion && job.versionStrings.empty()) return ResourceResult::Ok;
    std::vector<std::pair<std::u16string, std::u16string>> texts;
    for (const VersionString& s : job.versionStrings) {
        if (s.key.empty() || s.key.find(u'\0') != std::u16string::npos || s.text.find(u'\0') != std::u16string::npos) {
            return ResourceResult::TextHasNul;
        }
        texts.emplace_back(s.key, s.text);
    }
    if (job.setVersion) {
        std::u16string dotted;
        for (int i = 0; i < 4; ++i) dotted += (i > 0 ? u"." : u"") + Digits(job.version[i]);
        texts.emplace_back(u"FileVersion", dotted);
        texts.emplace_back(u"ProductVersion", dotted);
    }

    bool any = false;
    for (Resource& r : *resources) {
        if (!r.type.name.empty() || r.type.id != RT_VERSION_ID) continue;
        any = true;
        Node root;
        if (!ReadNode(r.data.data(), 0, r.data.size(), 0, &root) || root.key != u"VS_VERSION_INFO") {
            return ResourceResult::DamagedVersionBlock;
        }
        if (job.setVersion) {
            if (root.value.size() < FIXED_SIZE || Le32(root.value.data()) != FIXED_SIGNATURE) {
                return ResourceResult::DamagedVersionBlock;
            }
            const uint32_t high = static_cast<uint32_t>(job.version[0]) << 16 | job.version[1];
            const uint32_t low = static_cast<uint32_t>(job.version[2]) << 16 | job.version[3];
            PutLe32(&root.value[8], high);  // file version
            PutLe32(&root.value[12], low);
            PutLe32(&root.value[16], high);  // product version
            PutLe32(&root.value[20], low);
        }
        Node* strings = nullptr;
        for (Node& child : root.children) {
            if (child.key == u"StringFileInfo") strings = &child;
        }
        if (strings == nullptr && !texts.empty()) {
            // US English in UTF-16, as the launcher's own block says.
            Node info;
            info.key = u"StringFileInfo";
            Node table;
            table.key = u"040904B0";
            info.children.push_back(table);
            root.children.insert(root.children.begin(), info);
            strings = &root.children.front();
        }
        for (Node& table : strings->children) {
            for (const auto& text : texts) SetText(&table, text.first, text.second);
        }
        std::vector<uint8_t> out;
        WriteNode(root, &out);
        if (out.size() > 0xFFFF) return ResourceResult::DamagedVersionBlock;
        r.data = out;
    }
    return any ? ResourceResult::Ok : ResourceResult::NoVersionBlock;
}
