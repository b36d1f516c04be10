// Texts between the command line (UTF-8) and the launcher's resources (UTF-16),
// and digests as hex.
#include "tools/pack/pack_tool.h"

bool Utf16FromUtf8(const std::string& text, std::u16string* out) {
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        uint32_t c = 0;
        size_t extra = 0;
        uint32_t least = 0;  // the smallest code point this length may carry
        if (lead < 0x80) {
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1Fu;
            extra = 1;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0Fu;
            extra = 2;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07u;
            extra = 3;
            least = 0x10000;
        } else {
            return false;
        }
        if (extra > text.size() - i - 1) return false;  // cut short
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3Fu);
        }
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(c));
        }
        i += extra + 1;
    }
    return true;
}

std::string HexOf(const uint8_t* bytes, size_t size) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += DIGITS[bytes[i] >> 4];
        out += DIGITS[bytes[i] & 15];
    }
    return out;
}
