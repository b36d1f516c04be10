// The report as text for people: one labelled line per finding, the entries
// as a table, the verdict last. Every text that came from the package (or
// quotes it) goes through Shown, so the package cannot write to the terminal.
#include <algorithm>
#include <cstdio>

#include "tools/inspect/inspect.h"
#include "tools/inspect/report_common.h"

namespace {

std::string CoderChain(const EntryFacts& entry) {
    std::string chain;
    for (const CoderFacts& coder : entry.coders) {
        if (!chain.empty()) chain += ' ';
        chain += coder.name;
    }
    return chain.empty() ? "-" : chain;
}

std::string TextOrNone(const MaybeText& t) { return t.present ? "\"" + Shown(t.text) + "\"" : "(none)"; }

void Line(std::string& out, const char* label, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof head, "%-17s", label);
    out += head;
    out += text;
    out += '\n';
}

}  // namespace

std::string VerdictText(const Verdict& v) {
    if (v.ok) return v.chainAssumed ? "ok where the signature's chain is trusted (not checked)" : "ok";
    if (v.by == Ender::Windows) return "Windows does not start it (error " + std::to_string(v.code) + ")";
    std::string text;
    if (v.by == Ender::Runtime) {
        text = "the runtime ends with exception " + Hex32(static_cast<uint32_t>(v.code));
    } else {
        text = v.message.empty() ? std::string("ends without a message") : "\"" + Shown(v.message) + "\"";
    }
    text += " (stage " + std::to_string(v.stage) + "), exit code " + std::to_string(v.code);
    if (v.code < 0) text += " (status " + std::to_string(ExitStatusOf(v.code)) + ")";
    return text;
}

std::string ReportText(const InspectReport& r) {
    std::string out;
    Line(out, "file", Shown(r.path, true));
    if (r.probed) {
        Line(out, "host image", "search start " + Dec(r.searchStart) + ", file size " + Dec(r.fileSize) + " bytes");
        if (r.host.hasCertificateTable) {
            Line(out, "", "certificate table at " + Dec(r.host.certificateOffset) + ", " +
                              Dec(r.host.certificateSize) + " bytes");
        }
    }
    if (r.launcher.read) {
        const LauncherFacts& l = r.launcher;
        Line(out, "launcher", "settings 4 " + TextOrNone(StringOf(l, SETTING_THIRD_ARGUMENT)) + ", 5 " +
                                  TextOrNone(StringOf(l, SETTING_FOURTH_ARGUMENT)) + ", 6 " +
                                  TextOrNone(StringOf(l, SETTING_REMOVE_AFTER)) + "; publisher " +
                                  TextOrNone(StringOf(l, PUBLISHER_STRING_ID)) + "; pin " +
                                  TextOrNone(StringOf(l, PIN_STRING_ID)));
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
        for (const auto& value : l.versionStrings) {
            Line(out, "", Shown(value.first) + " \"" + Shown(value.second) + "\"");
        }
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
            rows.push_back({"#" + Dec(e.index), e.hasName ? Shown(e.name) : std::string("(no name)"),
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
    if (r.payload.checked) {
        std::string text;
        if (r.payload.hasEntry) {
            text = "entry #" + Dec(r.payload.entry) + " at " + Dec(r.payload.offset.value) + ", " +
                   Dec(r.payload.size.value) + " bytes: ";
        }
        text += r.payload.result == PayloadResult::Ok ? std::string("in-place CRC check ok")
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
                                                                                : "machine " + Hex16(pe.machine);
                if (pe.valid) {
                    image += pe.dll ? " DLL" : " executable";
                    image += pe.exportsInit ? ", exports VorlaneInit" : ", no VorlaneInit export";
                    image += !pe.hasCertificateTable ? ", not signed"
                             : pe.signerKnown       ? ", signed by \"" + Shown(pe.signer) + "\""
                                                    : ", signed (signer unreadable)";
                }
                Line(out, "", image);
                if (pe.valid) {
                    std::string imports = pe.importsReadable ? std::string() : std::string("(damaged table) ");
                    for (const std::string& name : pe.imports) imports += (imports.empty() ? "" : ", ") + Shown(name);
                    Line(out, "", "imports " + (imports.empty() ? std::string("nothing") : imports));
                    std::string delayed = pe.delayImportsReadable ? std::string() : std::string("(damaged table) ");
                    for (const std::string& name : pe.delayImports) delayed += (delayed.empty() ? "" : ", ") + Shown(name);
                    if (!delayed.empty()) Line(out, "", "delay-loads " + delayed);
                }
            }
        }
        if (!any) Line(out, "runtime", "no entry named VorlaneStub.dll");
    }
    if (r.trust.checked && r.trust.byMachine) {
        Line(out, "trust", r.trust.verified ? std::string("this machine's trust check accepts the signature's chain")
                                            : "refused by this machine's trust check (" + Hex32(r.trust.result) + ")");
    } else if (r.trust.checked) {
        Line(out, "trust", r.trust.verified ? std::string("the signature's chain leads to a given root")
                                            : "refused: " + Shown(r.trust.detail));
    }
    for (const std::string& note : r.notes) Line(out, "note", Shown(note));
    Line(out, "verdict", VerdictText(r.verdict));
    if (!r.verdict.explanation.empty()) Line(out, "", Shown(r.verdict.explanation));
    return out;
}
