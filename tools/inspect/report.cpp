// The report as text for people and as JSON for scripts. Both come from the
// same record, so they always hold the same figures; the JSON shape is
// documented in docs/packaging.md and only grows (formatVersion counts breaks).
#include <algorithm>
#include <cstdio>

#include "tools/inspect/inspect.h"

namespace {

constexpr int FORMAT_VERSION = 1;

std::string Dec(uint64_t value) { return std::to_string(value); }

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

std::string CoderChain(const EntryFacts& entry) {
    std::string chain;
    for (const CoderFacts& coder : entry.coders) {
        if (!chain.empty()) chain += ' ';
        chain += coder.name;
    }
    return chain.empty() ? "-" : chain;
}

// What follows the archive's end, in words and figures.
struct Trailer {
    bool known = false;
    uint64_t after = 0;    // bytes after the archive
    uint64_t missing = 0;  // bytes the archive claims beyond the end of the file
    bool certificate = false;
};

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

const char* const STRING_IDS[4] = {"4", "5", "6", "7"};

std::string VersionText(const uint16_t parts[4]) {
    return Dec(parts[0]) + "." + Dec(parts[1]) + "." + Dec(parts[2]) + "." + Dec(parts[3]);
}

std::string TextOrNone(const MaybeText& t) { return t.present ? "\"" + Utf8Of(t.text) + "\"" : "(none)"; }

// ---- text ------------------------------------------------------------------------

void Line(std::string& out, const char* label, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof head, "%-17s", label);
    out += head;
    out += text;
    out += '\n';
}

std::string VerdictText(const Verdict& v) {
    if (v.ok) return "ok";
    std::string text = v.message.empty() ? std::string("ends without a message")
                                         : "\"" + Utf8Of(v.message) + "\"";
    text += " (stage " + std::to_string(v.stage) + "), exit code " + std::to_string(v.code);
    if (v.code < 0) text += " (status " + std::to_string(ExitStatusOf(v.code)) + ")";
    return text;
}

// ---- JSON ------------------------------------------------------------------------

struct Json {
    std::string text;
    std::vector<bool> first;  // per open container: nothing written in it yet
    bool afterKey = false;
};

void Indent(Json& j) {
    j.text += '\n';
    j.text.append(j.first.size() * 2, ' ');
}

void Item(Json& j) {
    if (j.afterKey) {
        j.afterKey = false;
        return;
    }
    if (j.first.empty()) return;
    if (!j.first.back()) j.text += ',';
    j.first.back() = false;
    Indent(j);
}

void Open(Json& j, char bracket) {
    Item(j);
    j.text += bracket;
    j.first.push_back(true);
}

void Close(Json& j, char bracket) {
    const bool empty = j.first.back();
    j.first.pop_back();
    if (!empty) Indent(j);
    j.text += bracket;
}

void Quoted(std::string& out, const std::string& utf8) {
    out += '"';
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

void Key(Json& j, const char* key) {
    Item(j);
    Quoted(j.text, key);
    j.text += ": ";
    j.afterKey = true;
}

void Str(Json& j, const std::string& value) {
    Item(j);
    Quoted(j.text, value);
}
void Num(Json& j, uint64_t value) {
    Item(j);
    j.text += Dec(value);
}
void Int(Json& j, int64_t value) {
    Item(j);
    j.text += std::to_string(value);
}
void Bool(Json& j, bool value) {
    Item(j);
    j.text += value ? "true" : "false";
}
void Null(Json& j) {
    Item(j);
    j.text += "null";
}
void Maybe(Json& j, const MaybeU64& value) {
    if (value.known) {
        Num(j, value.value);
    } else {
        Null(j);
    }
}

void RuntimePeJson(Json& j, const PeFacts& pe) {
    Open(j, '{');
    Key(j, "pe");
    Bool(j, pe.valid);
    Key(j, "machine");
    Num(j, pe.machine);
    Key(j, "is64Bit");
    Bool(j, pe.valid && pe.machine == 0x8664 && pe.magic == 0x20B);
    Key(j, "dll");
    Bool(j, pe.dll);
    Key(j, "exportsInit");
    Bool(j, pe.exportsInit);
    Key(j, "signed");
    Bool(j, pe.hasCertificateTable);
    Key(j, "signer");
    if (pe.signerKnown) {
        Str(j, Utf8Of(pe.signer));
    } else {
        Null(j);
    }
    Key(j, "characteristics");
    Num(j, pe.characteristics);
    Key(j, "dllCharacteristics");
    Num(j, pe.dllCharacteristics);
    Key(j, "imports");
    if (pe.importsReadable) {
        Open(j, '[');
        for (const std::string& name : pe.imports) Str(j, name);
        Close(j, ']');
    } else {
        Null(j);
    }
    Close(j, '}');
}

void LauncherJson(Json& j, const LauncherFacts& l) {
    if (!l.read) {
        Null(j);
        return;
    }
    Open(j, '{');
    Key(j, "strings");
    Open(j, '{');
    for (int i = 0; i < 4; ++i) {
        Key(j, STRING_IDS[i]);
        if (l.strings[i].present) {
            Str(j, Utf8Of(l.strings[i].text));
        } else {
            Null(j);
        }
    }
    Close(j, '}');
    Key(j, "fileVersion");
    if (l.hasVersion) {
        Str(j, VersionText(l.fileVersion));
    } else {
        Null(j);
    }
    Key(j, "productVersion");
    if (l.hasVersion) {
        Str(j, VersionText(l.productVersion));
    } else {
        Null(j);
    }
    Key(j, "versionStrings");
    Open(j, '{');
    for (const auto& value : l.versionStrings) {
        Key(j, value.first.c_str());
        Str(j, Utf8Of(value.second));
    }
    Close(j, '}');
    Key(j, "icons");
    Open(j, '[');
    for (const uint32_t size : l.iconSizes) Num(j, size == 0 ? 256 : size);
    Close(j, ']');
    Close(j, '}');
}

void EntryJson(Json& j, const EntryFacts& e) {
    Open(j, '{');
    Key(j, "index");
    Num(j, e.index);
    Key(j, "name");
    if (e.hasName) {
        Str(j, Utf8Of(e.name));
    } else {
        Null(j);
    }
    Key(j, "size");
    Num(j, e.size);
    Key(j, "directory");
    Bool(j, e.directory);
    Key(j, "folder");
    if (e.folder == NO_FOLDER) {
        Null(j);
    } else {
        Num(j, e.folder);
    }
    Key(j, "packOffset");
    Maybe(j, e.packOffset);
    Key(j, "coders");
    Open(j, '[');
    for (const CoderFacts& coder : e.coders) Str(j, coder.name);
    Close(j, ']');
    Key(j, "crc");
    if (e.crcDefined) {
        Num(j, e.crc);
    } else {
        Null(j);
    }
    Key(j, "role");
    if (RoleName(e.role) != nullptr) {
        Str(j, RoleName(e.role));
    } else {
        Null(j);
    }
    Key(j, "decode");
    if (e.decode.tried) {
        Open(j, '{');
        Key(j, "result");
        Int(j, e.decode.result);
        Key(j, "decodes");
        Bool(j, e.decode.decodes);
        Key(j, "crcMatches");
        Bool(j, e.decode.crcMatches);
        Key(j, "decodedCrc");
        Maybe(j, e.decode.decodedCrc);
        Key(j, "image");
        if (e.decode.crcMatches) {
            RuntimePeJson(j, e.runtimePe);
        } else {
            Null(j);
        }
        Close(j, '}');
    } else {
        Null(j);
    }
    Close(j, '}');
}

}  // namespace

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

std::string ReportText(const InspectReport& r) {
    std::string out;
    Line(out, "file", Utf8Of(r.path));
    if (r.probed) {
        Line(out, "host image", "search start " + Dec(r.searchStart) + ", file size " + Dec(r.fileSize) + " bytes");
        if (r.host.hasCertificateTable) {
            Line(out, "", "certificate table at " + Dec(r.host.certificateOffset) + ", " +
                              Dec(r.host.certificateSize) + " bytes");
        }
    }
    if (r.launcher.read) {
        const LauncherFacts& l = r.launcher;
        Line(out, "launcher", "settings 4 " + TextOrNone(l.strings[0]) + ", 5 " + TextOrNone(l.strings[1]) + ", 6 " +
                                  TextOrNone(l.strings[2]) + "; publisher " + TextOrNone(l.strings[3]));
        std::string version = l.hasVersion ? "version " + VersionText(l.fileVersion) + " (product " +
                                                 VersionText(l.productVersion) + ")"
                                           : std::string("no version block");
        if (!l.iconSizes.empty()) {
            version += "; icon MAIN";
            for (size_t i = 0; i < l.iconSizes.size(); ++i) {
                version += (i == 0 ? " " : ", ") + Dec(l.iconSizes[i] == 0 ? 256 : l.iconSizes[i]);
            }
            version += " px";
        }
        Line(out, "", version);
        for (const auto& value : l.versionStrings) Line(out, "", value.first + " \"" + Utf8Of(value.second) + "\"");
    }
    if (r.archiveFound) {
        const uint64_t gap = r.archiveStart - r.searchStart;
        Line(out, "archive", "starts at " + Dec(r.archiveStart) +
                                 (gap == 0 ? std::string(", right after the image")
                                           : ", " + Dec(gap) + " bytes after the image"));
        Line(out, "", "version " + Dec(r.majorVersion) + "." + Dec(r.minorVersion) + ", next header at +" +
                          Dec(r.nextHeaderOffset) + ", " + Dec(r.nextHeaderSize) + " bytes");
        const Trailer t = TrailerOf(r);
        if (!t.known) {
            Line(out, "", "ends beyond any file size (its next header offset and size overflow)");
        } else if (t.missing > 0) {
            Line(out, "", "ends at " + Dec(r.archiveEnd.value) + ", " + Dec(t.missing) +
                              " bytes past the end of the file");
        } else if (t.after == 0) {
            Line(out, "", "ends at " + Dec(r.archiveEnd.value) + ", the end of the file");
        } else {
            Line(out, "", "ends at " + Dec(r.archiveEnd.value) + "; " + Dec(t.after) + " bytes follow" +
                              (t.certificate ? std::string(", holding the certificate table") : std::string()));
        }
    }
    if (r.openTried && r.openResult == 0) {
        Line(out, "entries", Dec(r.entries.size()) + " in " + Dec(r.folderCount) + " folders, packed data at " +
                                 Dec(r.dataPos));
        // One row per entry, columns padded to their widest cell.
        std::vector<std::vector<std::string>> rows;
        for (const EntryFacts& e : r.entries) {
            rows.push_back({"#" + Dec(e.index), e.hasName ? Utf8Of(e.name) : std::string("(no name)"),
                            e.directory ? std::string("directory") : Dec(e.size) + " bytes",
                            "folder " + (e.folder == NO_FOLDER ? std::string("-") : Dec(e.folder)), CoderChain(e),
                            "CRC " + (e.crcDefined ? Hex32(e.crc) : std::string("none")),
                            RoleName(e.role) != nullptr ? RoleName(e.role) : ""});
        }
        std::vector<size_t> widths(7, 0);
        for (const auto& row : rows) {
            for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
        }
        for (const auto& row : rows) {
            std::string text;
            for (size_t c = 0; c < row.size(); ++c) {
                std::string cell = row[c];
                // Sizes right-aligned, the rest left-aligned; no padding after the last cell.
                if (c == 2) cell.insert(0, widths[c] - cell.size(), ' ');
                if (c + 1 < row.size() && c != 2) cell.resize(widths[c], ' ');
                text += "  " + cell;
            }
            while (!text.empty() && text.back() == ' ') text.pop_back();
            out += text + "\n";
        }
    }
    if (r.payload.result != PayloadVerdict::NotChecked) {
        std::string text;
        if (r.payload.hasEntry) {
            text = "entry #" + Dec(r.payload.entry) + " at " + Dec(r.payload.offset.value) + ", " +
                   Dec(r.payload.size.value) + " bytes: ";
        }
        text += r.payload.result == PayloadVerdict::Ok ? std::string("in-place CRC check ok")
                                                       : std::string(PayloadResultName(r.payload.result));
        Line(out, "payload", text);
    }
    if (r.runtimeChecked) {
        bool any = false;
        for (const EntryFacts& e : r.entries) {
            if (!e.decode.tried) continue;
            any = true;
            std::string text = "entry #" + Dec(e.index) + ": ";
            if (e.decode.crcMatches) {
                text += "folder decodes, CRC " + Hex32(static_cast<uint32_t>(e.decode.decodedCrc.value)) + " matches";
            } else if (e.decode.decodes) {
                text += "folder decodes, CRC does not match";
                if (e.decode.decodedCrc.known) {
                    text += " (decoded " + Hex32(static_cast<uint32_t>(e.decode.decodedCrc.value)) + ", recorded " +
                            (e.crcDefined ? Hex32(e.crc) : std::string("none")) + ")";
                }
            } else {
                text += "folder does not decode (error " + std::to_string(e.decode.result) + ")";
            }
            Line(out, "runtime", text);
            if (e.decode.crcMatches) {
                const PeFacts& pe = e.runtimePe;
                std::string image = !pe.valid ? std::string("not a PE image")
                                    : pe.machine == 0x8664 && pe.magic == 0x20B ? std::string("64-bit")
                                                                                : "machine " + Dec(pe.machine);
                if (pe.valid) {
                    image += pe.dll ? " DLL" : " executable";
                    image += pe.exportsInit ? ", exports VorlaneInit" : ", no VorlaneInit export";
                    image += !pe.hasCertificateTable ? ", not signed"
                             : pe.signerKnown       ? ", signed by \"" + Utf8Of(pe.signer) + "\""
                                                    : ", signed (signer unreadable)";
                }
                Line(out, "", image);
                if (pe.valid) {
                    std::string imports = pe.importsReadable ? std::string() : std::string("(damaged table) ");
                    for (const std::string& name : pe.imports) imports += (imports.empty() ? "" : ", ") + name;
                    Line(out, "", "imports " + (imports.empty() ? std::string("nothing") : imports));
                }
            }
        }
        if (!any) Line(out, "runtime", "no entry named VorlaneStub.dll");
    }
    if (r.trust.checked) {
        Line(out, "trust", r.trust.verified ? std::string("the signature's chain leads to a given root")
                                            : "refused: " + r.trust.detail);
    }
    for (const std::string& note : r.notes) Line(out, "note", note);
    Line(out, "verdict", VerdictText(r.verdict));
    if (!r.verdict.explanation.empty()) Line(out, "", r.verdict.explanation);
    return out;
}

std::string ReportJson(const InspectReport& r) {
    Json j;
    Open(j, '{');
    Key(j, "formatVersion");
    Num(j, FORMAT_VERSION);
    Key(j, "file");
    Str(j, Utf8Of(r.path));

    Key(j, "hostImage");
    if (r.probed) {
        Open(j, '{');
        Key(j, "searchStart");
        Num(j, r.searchStart);
        Key(j, "fileSize");
        Num(j, r.fileSize);
        Key(j, "certificateTable");
        if (r.host.hasCertificateTable) {
            Open(j, '{');
            Key(j, "offset");
            Num(j, r.host.certificateOffset);
            Key(j, "size");
            Num(j, r.host.certificateSize);
            Close(j, '}');
        } else {
            Null(j);
        }
        Close(j, '}');
    } else {
        Null(j);
    }

    Key(j, "launcher");
    LauncherJson(j, r.launcher);

    Key(j, "archive");
    if (r.archiveFound) {
        const Trailer t = TrailerOf(r);
        Open(j, '{');
        Key(j, "start");
        Num(j, r.archiveStart);
        Key(j, "gap");
        Num(j, r.archiveStart - r.searchStart);
        Key(j, "majorVersion");
        Num(j, r.majorVersion);
        Key(j, "minorVersion");
        Num(j, r.minorVersion);
        Key(j, "nextHeaderOffset");
        Num(j, r.nextHeaderOffset);
        Key(j, "nextHeaderSize");
        Num(j, r.nextHeaderSize);
        Key(j, "end");
        Maybe(j, r.archiveEnd);
        Key(j, "bytesAfter");
        Num(j, t.after);
        Key(j, "bytesMissing");
        Num(j, t.missing);
        Key(j, "certificateTableAfter");
        Bool(j, t.certificate);
        Key(j, "openResult");
        if (r.openTried) {
            Int(j, r.openResult);
        } else {
            Null(j);
        }
        const bool opened = r.openTried && r.openResult == 0;
        Key(j, "dataPos");
        Maybe(j, MaybeU64{opened, r.dataPos});
        Key(j, "folders");
        Maybe(j, MaybeU64{opened, r.folderCount});
        Close(j, '}');
    } else {
        Null(j);
    }

    Key(j, "entries");
    Open(j, '[');
    for (const EntryFacts& e : r.entries) EntryJson(j, e);
    Close(j, ']');

    Key(j, "payload");
    if (r.payload.result != PayloadVerdict::NotChecked) {
        Open(j, '{');
        Key(j, "result");
        Str(j, PayloadResultName(r.payload.result));
        Key(j, "entry");
        Maybe(j, MaybeU64{r.payload.hasEntry, r.payload.entry});
        Key(j, "offset");
        Maybe(j, r.payload.offset);
        Key(j, "size");
        Maybe(j, r.payload.size);
        Key(j, "crc");
        Maybe(j, MaybeU64{r.payload.hasEntry && r.payload.crcDefined, r.payload.crc});
        Close(j, '}');
    } else {
        Null(j);
    }

    Key(j, "runtime");
    if (r.runtimeChecked) {
        Open(j, '{');
        Key(j, "entry");
        Maybe(j, MaybeU64{r.runtimeEntry >= 0, static_cast<uint64_t>(r.runtimeEntry >= 0 ? r.runtimeEntry : 0)});
        Key(j, "installable");
        Bool(j, r.runtimeInstallable);
        Close(j, '}');
    } else {
        Null(j);
    }

    Key(j, "trust");
    if (r.trust.checked) {
        Open(j, '{');
        Key(j, "verified");
        Bool(j, r.trust.verified);
        Key(j, "result");
        Maybe(j, MaybeU64{!r.trust.verified && r.trust.result != 0, r.trust.result});
        Key(j, "detail");
        if (r.trust.detail.empty()) {
            Null(j);
        } else {
            Str(j, r.trust.detail);
        }
        Close(j, '}');
    } else {
        Null(j);
    }

    Key(j, "notes");
    Open(j, '[');
    for (const std::string& note : r.notes) Str(j, note);
    Close(j, ']');

    Key(j, "verdict");
    Open(j, '{');
    Key(j, "ok");
    Bool(j, r.verdict.ok);
    Key(j, "stage");
    Maybe(j, MaybeU64{!r.verdict.ok, static_cast<uint64_t>(r.verdict.stage)});
    Key(j, "message");
    if (!r.verdict.ok && !r.verdict.message.empty()) {
        Str(j, Utf8Of(r.verdict.message));
    } else {
        Null(j);
    }
    Key(j, "exitCode");
    Int(j, r.verdict.code);
    Key(j, "exitStatus");
    Int(j, ExitStatusOf(r.verdict.code));
    Key(j, "explanation");
    if (r.verdict.explanation.empty()) {
        Null(j);
    } else {
        Str(j, r.verdict.explanation);
    }
    Close(j, '}');
    Close(j, '}');
    j.text += '\n';
    return j.text;
}
