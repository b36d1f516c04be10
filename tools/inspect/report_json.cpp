// The report as one JSON document for scripts. Its shape is documented in
// docs/packaging.md and only grows (formatVersion counts breaks).
#include <nlohmann/json.hpp>

#include "tools/inspect/inspect.h"
#include "tools/inspect/report_common.h"

namespace {

using Json = nlohmann::ordered_json;

// 2: a runtime image's machine is "0x8664", as the text report writes it.
constexpr int FORMAT_VERSION = 2;

Json Maybe(const MaybeU64& value) { return value.known ? Json(value.value) : Json(nullptr); }
Json Maybe(bool known, uint64_t value) { return known ? Json(value) : Json(nullptr); }
Json TextOrNull(bool known, const std::string& text) { return known ? Json(text) : Json(nullptr); }
Json TextOrNull(bool known, const std::u16string& text) { return known ? Json(Utf8Of(text)) : Json(nullptr); }

// A list of names, or null when its table is damaged.
Json Names(bool readable, const std::vector<std::string>& names) {
    if (!readable) return nullptr;
    Json list = Json::array();
    for (const std::string& name : names) list.push_back(name);
    return list;
}

Json RuntimePeJson(const PeFacts& pe) {
    Json j;
    j["pe"] = pe.valid;
    j["machine"] = Hex16(pe.machine);
    j["is64Bit"] = pe.valid && pe.machine == 0x8664 && pe.magic == 0x20B;
    j["dll"] = pe.dll;
    j["exportsInit"] = pe.exportsInit;
    j["signed"] = pe.hasCertificateTable;
    j["signer"] = TextOrNull(pe.signerKnown, pe.signer);
    j["signerCodeSigning"] = pe.hasCertificateTable && pe.signerCodeSigning;
    j["characteristics"] = pe.characteristics;
    j["dllCharacteristics"] = pe.dllCharacteristics;
    j["imports"] = Names(pe.importsReadable, pe.imports);
    j["delayImports"] = Names(pe.delayImportsReadable, pe.delayImports);
    return j;
}

Json LauncherJson(const LauncherFacts& l) {
    if (!l.read) return nullptr;
    Json j;
    Json strings = Json::object();
    for (uint32_t id = FIRST_STRING_ID; id <= LAST_STRING_ID; ++id) {
        const MaybeText& text = StringOf(l, static_cast<StringId>(id));
        strings[std::to_string(id)] = TextOrNull(text.present, text.text);
    }
    j["strings"] = std::move(strings);
    j["fileVersion"] = TextOrNull(l.hasVersion, VersionText(l.fileVersion));
    j["productVersion"] = TextOrNull(l.hasVersion, VersionText(l.productVersion));
    // A key named twice keeps its first place and its last value, as a JSON reader reads it.
    Json versionStrings = Json::object();
    for (const auto& value : l.versionStrings) versionStrings[value.first] = Utf8Of(value.second);
    j["versionStrings"] = std::move(versionStrings);
    Json icons = Json::array();
    for (const uint32_t size : l.iconSizes) icons.push_back(size == 0 ? 256 : size);
    j["icons"] = std::move(icons);
    return j;
}

Json EntryJson(const EntryFacts& e) {
    Json j;
    j["index"] = e.index;
    j["name"] = TextOrNull(e.hasName, e.name);
    j["size"] = e.size;
    j["directory"] = e.directory;
    j["folder"] = Maybe(e.folder != NO_FOLDER, e.folder);
    j["packOffset"] = Maybe(e.packOffset);
    Json coders = Json::array();
    for (const CoderFacts& coder : e.coders) coders.push_back(coder.name);
    j["coders"] = std::move(coders);
    j["crc"] = Maybe(e.crcDefined, e.crc);
    j["role"] = RoleName(e.role) != nullptr ? Json(RoleName(e.role)) : Json(nullptr);
    Json decode = nullptr;
    if (e.decode.tried) {
        decode["result"] = e.decode.result;
        decode["decodes"] = e.decode.decodes;
        decode["crcMatches"] = e.decode.crcMatches;
        decode["decodedCrc"] = Maybe(e.decode.decodedCrc);
        decode["image"] = e.decode.crcMatches ? RuntimePeJson(e.runtimePe) : Json(nullptr);
    }
    j["decode"] = std::move(decode);
    return j;
}

Json ArchiveJson(const InspectReport& r) {
    if (!r.archiveFound) return nullptr;
    const Trailer t = TrailerOf(r);
    const bool opened = r.openTried && r.openResult == 0;
    Json j;
    j["start"] = r.archiveStart;
    j["gap"] = r.archiveStart - r.searchStart;
    j["majorVersion"] = r.majorVersion;
    j["minorVersion"] = r.minorVersion;
    j["nextHeaderOffset"] = r.nextHeaderOffset;
    j["nextHeaderSize"] = r.nextHeaderSize;
    j["end"] = Maybe(r.archiveEnd);
    j["bytesAfter"] = t.after;
    j["bytesMissing"] = t.missing;
    j["certificateTableAfter"] = t.certificate;
    j["openResult"] = r.openTried ? Json(r.openResult) : Json(nullptr);
    j["dataPos"] = Maybe(opened, r.dataPos);
    j["folders"] = Maybe(opened, r.folderCount);
    return j;
}

Json VerdictJson(const Verdict& v) {
    Json j;
    j["ok"] = v.ok;
    j["stage"] = Maybe(!v.ok, static_cast<uint64_t>(v.stage));
    j["message"] = TextOrNull(!v.ok && !v.message.empty(), v.message);
    j["exitCode"] = v.code;
    j["exitStatus"] = ExitStatusOf(v.code);
    j["endedBy"] = v.ok                       ? Json(nullptr)
                   : v.by == Ender::Windows ? Json("windows")
                   : v.by == Ender::Runtime ? Json("runtime")
                                            : Json("launcher");
    j["chainAssumed"] = v.chainAssumed;
    j["explanation"] = TextOrNull(!v.explanation.empty(), v.explanation);
    return j;
}

}  // namespace

std::string ReportJson(const InspectReport& r) {
    Json j;
    j["formatVersion"] = FORMAT_VERSION;
    j["file"] = Utf8Of(r.path);

    Json host = nullptr;
    if (r.probed) {
        host["searchStart"] = r.searchStart;
        host["fileSize"] = r.fileSize;
        Json certificate = nullptr;
        if (r.host.hasCertificateTable) {
            certificate["offset"] = r.host.certificateOffset;
            certificate["size"] = r.host.certificateSize;
        }
        host["certificateTable"] = std::move(certificate);
    }
    j["hostImage"] = std::move(host);
    j["launcher"] = LauncherJson(r.launcher);
    j["archive"] = ArchiveJson(r);
    Json entries = Json::array();
    for (const EntryFacts& e : r.entries) entries.push_back(EntryJson(e));
    j["entries"] = std::move(entries);

    Json payload = nullptr;
    if (r.payload.checked) {
        payload["result"] = PayloadResultName(r.payload.result);
        payload["entry"] = Maybe(r.payload.hasEntry, r.payload.entry);
        payload["offset"] = Maybe(r.payload.offset);
        payload["size"] = Maybe(r.payload.size);
        payload["crc"] = Maybe(r.payload.hasEntry && r.payload.crcDefined, r.payload.crc);
    }
    j["payload"] = std::move(payload);
    Json runtime = nullptr;
    if (r.runtimeChecked) {
        const bool known = r.runtimeEntry >= 0;
        runtime["entry"] = Maybe(known, known ? static_cast<uint64_t>(r.runtimeEntry) : 0);
        runtime["installable"] = r.runtimeInstallable;
    }
    j["runtime"] = std::move(runtime);
    Json trust = nullptr;
    if (r.trust.checked) {
        trust["checkedBy"] = r.trust.byMachine ? "this machine" : "trust roots";
        trust["verified"] = r.trust.verified;
        trust["result"] = Maybe(!r.trust.verified && r.trust.result != 0, r.trust.result);
        trust["detail"] = TextOrNull(!r.trust.detail.empty(), r.trust.detail);
    }
    j["trust"] = std::move(trust);
    Json notes = Json::array();
    for (const std::string& note : r.notes) notes.push_back(note);
    j["notes"] = std::move(notes);
    j["verdict"] = VerdictJson(r.verdict);
    // Texts from the package are arbitrary bytes: what is not UTF-8 becomes
    // U+FFFD, so the document always parses; controls are escaped.
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
