// The tools' text (see text.h).
#include "tools/host/text.h"

#include "base/hex.h"

namespace {

bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

bool NextUtf8(const std::string& text, size_t* at, uint32_t* c) {
    const uint8_t first = static_cast<uint8_t>(text[*at]);
    size_t n = 0;
    uint32_t value = 0;
    uint32_t least = 0;  // the smallest code point this length may carry
    if (first < 0x80) {
        n = 1, value = first;
    } else if ((first & 0xE0) == 0xC0) {
        n = 2, value = first & 0x1Fu, least = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        n = 3, value = first & 0x0Fu, least = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        n = 4, value = first & 0x07u, least = 0x10000;
    } else {
        return false;
    }
    if (text.size() - *at < n) return false;  // cut short
    for (size_t i = 1; i < n; ++i) {
        const uint8_t next = static_cast<uint8_t>(text[*at + i]);
        if ((next & 0xC0) != 0x80) return false;
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || IsSurrogate(value)) return false;
    *c = value;
    *at += n;
    return true;
}

void AppendUtf8(std::string* out, uint32_t c) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string* out, uint32_t c) {
    if (c >= 0x10000) {
        out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(c));
    }
}

bool Utf16FromUtf8(const std::string& text, std::u16string* out) {
    out->clear();
    size_t at = 0;
    while (at < text.size()) {
        uint32_t c = 0;
        if (!NextUtf8(text, &at, &c)) {
            out->clear();
            return false;
        }
        AppendUtf16(out, c);
    }
    return true;
}

std::string Utf8Of(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
        }
        AppendUtf8(&out, IsSurrogate(c) ? 0xFFFD : c);
    }
    return out;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string HexOf(const uint8_t* bytes, size_t size) {
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += HEX_LOWER[bytes[i] >> 4];
        out += HEX_LOWER[bytes[i] & 15];
    }
    return out;
}

std::string HexNumber(uint64_t value, unsigned digits, bool upper) {
    const char* table = upper ? HEX_UPPER : HEX_LOWER;
    std::string out;
    for (; value != 0 || out.size() < digits; value >>= 4) out.insert(out.begin(), table[value & 15]);
    return out;
}
