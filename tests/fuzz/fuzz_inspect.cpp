// Fuzz target: the byte readers of vorlane-inspect, which take any file a
// packager hands in: PE headers, exports, imports and delay imports, the
// launcher's resources (string table, version block, icon group), the
// signature's DER (signer, its code-signing use), and the trust answer built
// from them (the Authenticode digest recomputed over the bytes). Every read
// must stay inside the input; ASan and UBSan catch any that does not.
// Whatever texts they find, the text report's form of them (Shown) must hold
// nothing a terminal acts on, and the JSON report holding them must parse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/inspect/inspect.h"
#include "tools/inspect/trust_answer.h"
#include "tools/inspect/report_common.h"

namespace {

// Controls, DEL, C1 and bidirectional controls, or bytes that are not UTF-8: a failure.
void CheckShown(const std::string& shown) {
    for (size_t at = 0; at < shown.size();) {
        const uint8_t c = static_cast<uint8_t>(shown[at]);
        uint32_t code = 0;
        if (c < 0x20 || c == 0x7F || !NextUtf8(shown, &at, &code)) std::abort();
        const bool bidi = (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
        if ((code >= 0x80 && code <= 0x9F) || bidi) std::abort();
    }
}

// The JSON report of what was read: a document a parser accepts, with no raw control character.
void CheckJson(const PeFacts& pe, const LauncherFacts& launcher, const std::u16string& signer, const std::string& raw) {
    InspectReport report;
    report.path = signer;
    report.launcher = launcher;
    report.launcher.read = true;
    EntryFacts entry;
    entry.hasName = true;
    entry.name = signer;
    entry.decode.tried = true;
    entry.decode.crcMatches = true;
    entry.runtimePe = pe;
    report.entries.push_back(entry);
    report.notes.push_back(raw);
    report.verdict.message = signer;
    report.verdict.explanation = raw;
    const std::string json = ReportJson(report);
    if (!nlohmann::json::accept(json)) std::abort();
    for (const char c : json) {
        if (static_cast<uint8_t>(c) < 0x20 && c != '\n') std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const PeFacts pe = ReadPeFacts(data, size, true);
    const LauncherFacts launcher = ReadLauncherFacts(data, size);
    // The input taken as a certificate table of its own, too.
    std::u16string signer;
    bool codeSigning = false;
    ReadSigner(data, size, &signer, &codeSigning);
    TrustAsked asked;
    AskTrust(std::vector<uint8_t>(data, data + size), pe, InspectOptions{}, &asked);
    for (const MaybeText& text : launcher.strings) CheckShown(Shown(text.text));
    for (const auto& value : launcher.versionStrings) {
        CheckShown(Shown(value.first));
        CheckShown(Shown(value.second));
    }
    for (const std::string& name : pe.imports) CheckShown(Shown(name));
    for (const std::string& name : pe.delayImports) CheckShown(Shown(name));
    CheckShown(Shown(signer));
    // The raw bytes as text read as bytes (a verifier's output), and as UTF-16.
    CheckShown(Shown(std::string(reinterpret_cast<const char*>(data), size)));
    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(&units[0], data, units.size() * 2);
    CheckShown(Shown(units));
    CheckJson(pe, launcher, units, std::string(reinterpret_cast<const char*>(data), size < 4096 ? size : 4096));
    return 0;
}
