// The report as one JSON document for scripts. Its shape is documented in
// docs/packaging.md and only grows (formatVersion counts breaks).
#include "tools/inspect/inspect.h"
#include "tools/inspect/json_writer.h"
#include "tools/inspect/report_common.h"

namespace {

// 2: a runtime image's machine is "0x8664", as the text report writes it.
constexpr int FORMAT_VERSION = 2;

void RuntimePeJson(Json& j, const PeFacts& pe) {
    Open(j, '{');
    Key(j, "pe");
    Bool(j, pe.valid);
    Key(j, "machine");
    Str(j, Hex16(pe.machine));
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
    Key(j, "signerCodeSigning");
    Bool(j, pe.hasCertificateTable && pe.signerCodeSigning);
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
    Key(j, "delayImports");
    if (pe.delayImportsReadable) {
        Open(j, '[');
        for (const std::string& name : pe.delayImports) Str(j, name);
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
    for (uint32_t id = FIRST_STRING_ID; id <= LAST_STRING_ID; ++id) {
        const MaybeText& text = StringOf(l, static_cast<StringId>(id));
        Key(j, std::to_string(id).c_str());
        if (text.present) {
            Str(j, Utf8Of(text.text));
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
        Key(j, "checkedBy");
        Str(j, r.trust.byMachine ? "this machine" : "trust roots");
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
    Key(j, "endedBy");
    if (r.verdict.ok) {
        Null(j);
    } else {
        Str(j, r.verdict.by == Ender::Windows ? "windows" : r.verdict.by == Ender::Runtime ? "runtime" : "launcher");
    }
    Key(j, "chainAssumed");
    Bool(j, r.verdict.chainAssumed);
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
