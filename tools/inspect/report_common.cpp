// What the text and the JSON report share, and the two text helpers every
// part of the tool uses: decimal numbers and UTF-8.
#include "tools/inspect/report_common.h"

#include <cstdio>

#include "tools/inspect/inspect.h"

std::string Dec(uint64_t value) { return std::to_string(value); }

std::string Hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

const char* PayloadResultName(PayloadVerdict result) {
    switch (result) {
        case PayloadVerdict::Ok: return "ok";
        case PayloadVerdict::NotFound: return "not found";
        case PayloadVerdict::OutOfRange: return "out of range";
        case PayloadVerdict::CrcError: return "crc error";
        case PayloadVerdict::OutOfMemory: return "out of memory";
        case PayloadVerdict::NotChecked: break;
    }
    return "not checked";
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

std::string Utf8Of(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
