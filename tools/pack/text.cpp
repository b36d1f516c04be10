// Texts between the command line (UTF-8) and the launcher's resources (UTF-16),
// and digests as hex.
#include "tools/inspect/report_common.h"
#include "tools/pack/pack_tool.h"

bool Utf16FromUtf8(const std::string& text, std::u16string* out) {
    out->clear();
    size_t at = 0;
    while (at < text.size()) {
        uint32_t c = 0;
        if (!NextUtf8(text, &at, &c)) return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(c));
        }
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
