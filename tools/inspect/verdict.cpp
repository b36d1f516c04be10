// The verdict on the runtime library: stage 14, the signature (what the
// launcher's check would answer), and stage 15, the load, the export and the
// settings; or why no library is installed at all.
#include "tools/inspect/verdict.h"

#include <cstdio>

#include "base/outcome.h"
#include "base/text.h"
#include "cache/runtime_dir.h"
#include "launcher/build_config.h"
#include "launcher/integrity.h"
#include "launcher/launch.h"
#include "launcher/runtime_imports.h"
#include "archive/pin.h"
#include "platform/platform.h"
#include "tools/inspect/package_archive.h"
#include "tools/inspect/report_common.h"
#include "tools/inspect/trust_answer.h"

void Refuse(InspectReport* report, const Ending& ending, const std::string& why) {
    const OutcomeInfo& info = InfoOf(ending.outcome);
    report->verdict.ok = false;
    report->verdict.stage = info.stage;
    report->verdict.message = ending.message;
    report->verdict.code = info.exitCode;
    report->verdict.explanation = why;
    report->verdict.by = Ender::Launcher;
}

namespace {

constexpr uint16_t FORCE_INTEGRITY = 0x0080;

// What the launcher does after the installation when no library was written.
void RefuseMissingRuntime(InspectReport* report, const std::string& cause) {
    const std::string why = cause +
                            ": the launcher passes it over without a message and ends without a library. On a "
                            "machine whose cache holds no VorlaneStub.dll of runtime " +
                            Dec(static_cast<uint64_t>(RUNTIME_VERSION)) +
                            ", the check cannot open the library and the run ends with this message. (Where an "
                            "earlier run left a library, it is not this archive's copy and is refused: \"The "
                            "installed VorlaneStub.dll is not this application's copy.\", exit 5.)";
    Refuse(report, EndWith(Outcome::CheckOpen, 2u), why);
}

std::string Quoted(const std::u16string& text) { return "\"" + Utf8Of(text) + "\""; }

std::string Listed(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
}

std::string TrustRefusalWhy(const Ending& judged, const TrustAsked& asked, const std::u16string& publisher) {
    const uint32_t result = asked.answer.result;
    const bool machine = asked.facts.byMachine;
    switch (judged.outcome) {
        case Outcome::NotSigned:
            return "the runtime library carries no Authenticode signature. Sign it with a certificate whose name is " +
                   Quoted(publisher) + " (vorlane-pack --sign-runtime or --sign-pkcs12).";
        case Outcome::Untrusted:
            if (machine) {
                return "this machine's trust check does not trust the signature's chain (" + Hex32(result) +
                       "): sign with a certificate from an authority your users' machines trust (for a test root: add "
                       "it to this machine's trusted roots first).";
            }
            return "its chain does not lead to a root given with --trust-root: " + asked.facts.detail;
        case Outcome::Revoked:
            return machine ? std::string("this machine's trust check finds the signing certificate revoked.")
                           : "its chain holds a revoked certificate: " + asked.facts.detail;
        case Outcome::NotPinned:
            return "the launcher's pin (string 8) names another build than the one in the archive: it refuses this "
                   "one, replaces it from the archive once and refuses it again. Pack the launcher and the runtime "
                   "together.";
        case Outcome::WrongSigner:
            return "the launcher requires the signer's display name to equal its publisher (string 7) character for "
                   "character. Sign with the publisher's certificate, or write its name with vorlane-pack --publisher.";
        case Outcome::NotCodeSigning:
            return "the signing certificate does not name code signing among its extended key usages: sign with a "
                   "code-signing certificate.";
        default: break;
    }
    if (result == PLAT_TRUST_BAD_DIGEST) {
        return "the runtime library was changed after it was signed: the Authenticode digest of its bytes differs "
               "from the one its signature signs. Sign it again, or pack the build that was signed.";
    }
    return (machine ? "this machine's trust check refuses the signature (" : "the signature is refused (") +
           Hex32(result) + "): the library was changed after signing, or its signature is damaged.";
}

// Stage 14 after the pin, the signature: the trust services' answer about the
// library (this machine's, or one built from its signature and bytes, the
// chain judged against the given roots or taken as trusted), judged by the
// launcher's own function.
bool JudgeSignature(const PeFacts& pe, const std::vector<uint8_t>& image, const InspectOptions& options,
                    const Pin* pin, InspectReport* report) {
    const MaybeText& publisherText = StringOf(report->launcher, PUBLISHER_STRING_ID);
    if (!publisherText.present) {
        Refuse(report, EndWith(Outcome::NoPublisher),
               "string 7 of the launcher's string table is missing or empty: the launcher refuses every runtime "
               "library. Write the signer's name with vorlane-pack --publisher NAME.");
        return false;
    }
    // LoadString fills a 256-character buffer: a longer publisher is cut.
    const std::u16string publisher = publisherText.text.substr(0, PUBLISHER_CAPACITY - 1);
    TrustAsked asked;
    AskTrust(image, pe, options, &asked);
    report->trust = asked.facts;
    const bool assumed = !asked.chainChecked && asked.answer.result == PLAT_TRUST_OK;
    if (assumed) {
        report->notes.push_back("the signature's chain was not checked (" + asked.unchecked +
                                "): the verdict holds where your users' machines trust it" +
                                (options.verify != nullptr ? " (vorlane-inspect --trust-root ROOT checks it against a "
                                                             "root)."
                                                           : "."));
        if (!asked.facts.byMachine && pe.hasCertificateTable && !pe.digestKnown) {
            report->notes.push_back("the signed digest cannot be read from VorlaneStub.dll's signature (SHA-1, "
                                    "SHA-256, SHA-384 or SHA-512 expected): whether its bytes match it is not "
                                    "checked.");
        }
    }
    if (pin == nullptr) {
        report->notes.push_back("warning: no pin: the launcher runs any build signed as " + Quoted(publisher) +
                                " whose CRC-32 matches, not only this one (vorlane-pack writes the pin of a signed "
                                "runtime library unless told --no-pin).");
    }
    Ending judged{};
    const CheckVerdict verdict = JudgeTrustAnswer(&asked.answer, publisher.c_str(), publisher.size(), pin, &judged);
    report->verdict.chainAssumed = assumed;
    if (asked.facts.byMachine) {
        // What the machine said of the chain, as the launcher reads its answer.
        const Outcome outcome = judged.outcome;
        const bool chainRefused = verdict != CheckVerdict::Passed &&
                                  (outcome == Outcome::NotSigned || outcome == Outcome::Revoked ||
                                   outcome == Outcome::Untrusted || outcome == Outcome::BadSignature);
        report->trust.verified = !chainRefused;
        report->trust.result = chainRefused ? asked.answer.result : 0;
    }
    if (verdict == CheckVerdict::Passed) return true;
    Refuse(report, judged, TrustRefusalWhy(judged, asked, publisher));
    return false;
}

// The libraries of one import table the runtime would not find, by their fate.
std::vector<std::string> Missing(const std::vector<std::string>& names, bool delayed) {
    std::vector<std::string> missing;
    for (const std::string& name : names) {
        if (FateOfImport(name.c_str(), name.size(), delayed) != ImportFate::Found) missing.push_back(name);
    }
    return missing;
}

const char STATIC_LINKING[] = "Link them into it statically (mingw: -static -static-libgcc -static-libstdc++; "
                              "MSVC: /MT), or load them yourself from where you install them.";

// Stage 15: the load, the export and the two settings the runtime receives,
// then the first calls into what it delay-loads.
void JudgeLoad(const PeFacts& pe, InspectReport* report) {
    const Ending failed = EndWith(Outcome::RuntimeLoad);
    if (!pe.valid) {
        Refuse(report, failed, "VorlaneStub.dll is not a PE image.");
        return;
    }
    if (pe.machine != 0x8664 || pe.magic != 0x20B) {
        Refuse(report, failed,
               "VorlaneStub.dll is not a 64-bit x86-64 image (machine " + Hex16(pe.machine) + "): the 64-bit launcher cannot load it.");
        return;
    }
    if (!pe.importsReadable) {
        Refuse(report, failed, "VorlaneStub.dll's import table is damaged.");
        return;
    }
    const std::vector<std::string> foreign = Missing(pe.imports, false);
    if (!foreign.empty()) {
        Refuse(report, failed,
               "VorlaneStub.dll imports " + Listed(foreign) +
                   ", which Windows does not provide: the launcher takes the runtime's dependencies from the system "
                   "folder only. " + STATIC_LINKING);
        return;
    }
    if (!pe.dll) report->notes.push_back("VorlaneStub.dll is an executable, not a DLL.");
    if (pe.dllCharacteristics & FORCE_INTEGRITY) {
        report->notes.push_back("VorlaneStub.dll asks for forced integrity checks (/INTEGRITYCHECK): Windows loads it "
                                "only when its signature carries page hashes it accepts.");
    }
    if (!pe.exportsInit) {
        Refuse(report, failed,
               "VorlaneStub.dll does not export VorlaneInit under its plain name (extern \"C\" "
               "__declspec(dllexport) on x64).");
        return;
    }
    const bool third = StringOf(report->launcher, SETTING_THIRD_ARGUMENT).present;
    if (!third || !StringOf(report->launcher, SETTING_FOURTH_ARGUMENT).present) {
        Refuse(report, EndWith(Outcome::SettingMissing),
               "setting " + Dec(third ? SETTING_FOURTH_ARGUMENT : SETTING_THIRD_ARGUMENT) +
                   " is missing from the launcher's string table: the launcher loads the runtime but does not call "
                   "it. Give it a value (vorlane-pack --setting4 / --setting5).");
        return;
    }
    if (!pe.delayImportsReadable) {
        report->notes.push_back("VorlaneStub.dll's delay-import table is damaged: the libraries it delay-loads are "
                                "not checked.");
    }
    const std::vector<std::string> delayed = Missing(pe.delayImports, true);
    if (!delayed.empty()) {
        Verdict& v = report->verdict;
        const bool assumed = v.chainAssumed;
        v = Verdict{};
        v.chainAssumed = assumed;
        v.by = Ender::Runtime;
        v.stage = InfoOf(Outcome::RuntimeLoad).stage;
        v.code = static_cast<int>(DELAY_LOAD_MODULE_NOT_FOUND);
        v.explanation = "VorlaneStub.dll delay-loads " + Listed(delayed) +
                        ", which Windows does not provide: the launcher loads and calls the runtime, and its first "
                        "call into " + (delayed.size() == 1 ? std::string("it") : std::string("one of them")) +
                        " ends the application with exception " + Hex32(DELAY_LOAD_MODULE_NOT_FOUND) +
                        " and no message, as the launcher takes the runtime's dependencies from the system folder "
                        "only. " + STATIC_LINKING;
    }
}

}  // namespace

int ExitStatusOf(int code) { return static_cast<int>(static_cast<uint32_t>(code) & 0xFFu); }

void RefuseUnstartable(InspectReport* report, uint64_t size) {
    Verdict& v = report->verdict;
    v = Verdict{};
    v.by = Ender::Windows;
    v.code = static_cast<int>(WINDOWS_START_ERROR);
    v.explanation = "the file is " + Dec(size) + " bytes: Windows does not start an executable of 4 GiB (" +
                    Dec(WINDOWS_START_LIMIT) + " bytes) or more. Starting it fails with error " +
                    Dec(WINDOWS_START_ERROR) + " (\"not a valid Win32 application\") before the launcher runs: "
                    "make the payload smaller.";
}

void JudgeRuntime(const std::vector<uint8_t>& installed, const InspectOptions& options, InspectReport* report) {
    // The check reads the pin before it even opens the library.
    const MaybeText& pinText = StringOf(report->launcher, PIN_STRING_ID);
    Pin pin{};
    if (pinText.present && !ParsePin(pinText.text.substr(0, PUBLISHER_CAPACITY - 1).c_str(), &pin)) {
        Refuse(report, EndWith(Outcome::PinUnreadable),
               "string 8 of the launcher's string table is not \"<algorithm>:<hex digest>\": the launcher refuses "
               "every runtime library. Pack again with vorlane-pack.");
        return;
    }
    if (report->runtimeInstallable) {
        const EntryFacts& entry = report->entries[static_cast<size_t>(report->runtimeEntry)];
#if VORLANE_VERIFY_SIGNATURE
        if (!JudgeSignature(entry.runtimePe, installed, options, pinText.present ? &pin : nullptr, report)) return;
#else
        (void)installed;
        (void)options;
#endif
        JudgeLoad(entry.runtimePe, report);
        return;
    }
    if (report->runtimeEntry < 0) {
        RefuseMissingRuntime(report, "the archive holds no entry named exactly \"VorlaneStub.dll\"");
        return;
    }
    const EntryFacts& entry = report->entries[static_cast<size_t>(report->runtimeEntry)];
    std::string cause = "entry #" + Dec(entry.index) + " \"VorlaneStub.dll\" ";
    cause += entry.decode.decodes ? "decodes but fails its CRC check" : "does not decode";
    cause += " (" + std::string(SdkCodeMeaning(entry.decode.result)) + ")";
    RefuseMissingRuntime(report, cause);
}
