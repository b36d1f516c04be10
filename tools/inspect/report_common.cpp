// What the text and the JSON report share, and the text helpers every part
// of the tool uses: decimal numbers, UTF-8, and package text made safe to print.
#include "tools/inspect/report_common.h"

#include "tools/host/text.h"
#include "tools/inspect/inspect.h"

std::string Dec(uint64_t value) { return std::to_string(value); }

std::string Hex16(uint16_t value) { return "0x" + HexNumber(value, 4, true); }

std::string Hex32(uint32_t value) { return "0x" + HexNumber(value, 8, true); }

const char* PayloadResultName(PayloadResult result) {
    switch (result) {
        case PayloadResult::Ok: return "ok";
        case PayloadResult::NotFound: return "not found";
        case PayloadResult::OutOfRange: return "out of range";
        case PayloadResult::CrcError: return "crc error";
        case PayloadResult::OutOfMemory: return "out of memory";
    }
    return "unknown";
}

const char* RoleName(EntryRole role) {
    switch (role) {
        case EntryRole::Payload: return "payload";
        case EntryRole::Runtime: return "runtime";
        case EntryRole::None: break;
    }
    return nullptr;
}

Trailer TrailerOf(const InspectReport& r) {
    Trailer t;
    if (!r.archiveFound || !r.archiveEnd.known) return t;
    t.known = true;
    const uint64_t end = r.archiveEnd.value;
    if (end <= r.fileSize) {
        t.after = r.fileSize - end;
    } else {
        t.missing = end - r.fileSize;
    }
    const uint64_t certStart = r.host.certificateOffset;
    const uint64_t certEnd = certStart + r.host.certificateSize;
    t.certificate = r.host.hasCertificateTable && t.after > 0 && certStart >= end && certEnd <= r.fileSize;
    return t;
}

std::string VersionText(const uint16_t parts[4]) {
    return Dec(parts[0]) + "." + Dec(parts[1]) + "." + Dec(parts[2]) + "." + Dec(parts[3]);
}

namespace {

// An escape as the report writes it: \xHH for a byte, \uHHHH for a code unit.
void AppendEscape(std::string& out, const char* mark, uint32_t value) {
    out += mark;
    out += HexNumber(value, mark[1] == 'x' ? 2 : 4, false);
}

bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The code point at text[*at], a surrogate pair joined; an unpaired surrogate as it is.
uint32_t NextCodePoint(const std::u16string& text, size_t* at) {
    const uint32_t c = text[(*at)++];
    if (c >= 0xD800 && c <= 0xDBFF && *at < text.size() && text[*at] >= 0xDC00 && text[*at] <= 0xDFFF) {
        return 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[(*at)++]) - 0xDC00);
    }
    return c;
}

// One character (or an unpaired surrogate) as the text report shows it.
void AppendShown(std::string& out, uint32_t c, bool keepBackslash) {
    if (c < 0x20 || c == 0x7F) {
        AppendEscape(out, "\\x", c);
    } else if ((c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
               IsSurrogate(c)) {
        AppendEscape(out, "\\u", c);
    } else if (c == '\\' && !keepBackslash) {
        out += "\\\\";
    } else {
        AppendUtf8(&out, c);
    }
}

}  // namespace

std::string Shown(const std::u16string& text, bool keepBackslash) {
    std::string out;
    for (size_t i = 0; i < text.size();) AppendShown(out, NextCodePoint(text, &i), keepBackslash);
    return out;
}

std::string Shown(const std::string& utf8) {
    std::string out;
    size_t at = 0;
    while (at < utf8.size()) {
        uint32_t c = 0;
        if (NextUtf8(utf8, &at, &c)) {
            AppendShown(out, c, false);
        } else {
            AppendEscape(out, "\\x", static_cast<uint8_t>(utf8[at++]));
        }
    }
    return out;
}
