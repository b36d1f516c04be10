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
#include "archive/pin.h"
#include "platform/platform.h"
#include "tools/inspect/package_archive.h"
#include "tools/inspect/report_common.h"

void Refuse(InspectReport* report, const Ending& ending, const std::string& why) {
    const OutcomeInfo& info = InfoOf(ending.outcome);
    report->verdict.ok = false;
    report->verdict.stage = info.stage;
    report->verdict.message = ending.message;
    report->verdict.code = info.exitCode;
    report->verdict.explanation = why;
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

// What the launcher's check makes of this machine's trust services' answer
// about the runtime (the same function judges): false when it refuses, with
// the verdict given. A machine that cannot be asked leaves a note.
bool AskThisMachine(const std::u16string& publisher, const std::vector<uint8_t>& image, MachineTrust ask,
                    InspectReport* report) {
    PlatTrustAnswer answer{};
    std::string why;
    if (!ask(image.data(), image.size(), &answer, &why)) {
        report->notes.push_back("the signature's chain was not checked: this machine's trust check cannot be "
                                "asked (" + why + ").");
        return true;
    }
    Pin pin{};
    const MaybeText& pinText = report->launcher.pin;
    // An unreadable pin is refused below, as the launcher does before it checks anything.
    const bool pinned = pinText.present && ParsePin(pinText.text.c_str(), &pin);
    const CheckResult judged = JudgeTrustAnswer(&answer, publisher.c_str(), publisher.size(), pinned ? &pin : nullptr);
    TrustFacts& trust = report->trust;
    trust.checked = true;
    trust.byMachine = true;
    const Outcome outcome = judged.ending.outcome;
    const bool chainRefused = judged.verdict != CheckVerdict::Passed &&
                              (outcome == Outcome::NotSigned || outcome == Outcome::Revoked ||
                               outcome == Outcome::Untrusted || outcome == Outcome::BadSignature);
    trust.verified = !chainRefused;
    trust.result = chainRefused ? answer.result : 0;
    trust.detail = "this machine's trust check answered " + Hex32(answer.result);
    if (judged.verdict == CheckVerdict::Passed) return true;
    std::string explanation;
    switch (outcome) {
        case Outcome::Untrusted:
            explanation = "this machine's trust check does not trust the signature's chain (" + Hex32(answer.result) +
                          "): sign with a certificate from an authority your users' machines trust (for a test "
                          "root: add it to this machine's trusted roots first).";
            break;
        case Outcome::Revoked:
            explanation = "this machine's trust check finds the signing certificate revoked.";
            break;
        case Outcome::NotPinned:
            explanation = "the launcher's pin (string 8) names another build than the one in the archive: pack the "
                          "launcher and the runtime together.";
            break;
        case Outcome::WrongSigner:
            explanation = "the launcher requires the signer's display name to equal its publisher (string 7) "
                          "character for character. Sign with the publisher's certificate, or write its name with "
                          "vorlane-pack --publisher.";
            break;
        case Outcome::NotCodeSigning:
            explanation = "the signing certificate does not name code signing among its uses: sign with a "
                          "code-signing certificate.";
            break;
        default:
            explanation = "this machine's trust check refuses the signature (" + Hex32(answer.result) +
                          "): the library was changed after signing, or its signature is damaged.";
            break;
    }
    Refuse(report, judged.ending, explanation);
    return false;
}

// Stage 14, the signature: what the launcher's check would answer on a
// machine that trusts the chain (or, with roots given, that trusts just those;
// in the Windows build, on this machine).
bool JudgeSignature(const PeFacts& pe, const std::vector<uint8_t>& image, const InspectOptions& options,
                    InspectReport* report) {
    const MaybeText& publisherText = report->launcher.strings[3];
    if (!publisherText.present) {
        Refuse(report, EndWith(Outcome::NoPublisher),
               "string 7 of the launcher's string table is missing or empty: the launcher refuses every runtime "
               "library. Write the signer's name with vorlane-pack --publisher NAME.");
        return false;
    }
    // LoadString fills a 256-character buffer: a longer publisher is cut.
    const std::u16string publisher = publisherText.text.substr(0, PUBLISHER_CAPACITY - 1);
    if (!pe.valid || !pe.hasCertificateTable) {
        Refuse(report, EndWith(Outcome::NotSigned),
               "the runtime library carries no Authenticode signature. Sign it with a certificate whose name is " +
                   Quoted(publisher) + " (vorlane-pack --sign-runtime or --sign-pkcs12).");
        return false;
    }
    // A name that does not fit the trust services' buffer is no name.
    const std::u16string signer = pe.signerKnown && pe.signer.size() < PLAT_SIGNER_CAPACITY ? pe.signer : u"";
    if (!options.trustRoots.empty()) {
        TrustFacts& trust = report->trust;
        trust.checked = true;
        std::string output;
        const int verified = options.verify != nullptr
                                 ? options.verify(image.data(), image.size(), options.trustRoots, &output)
                                 : -1;
        trust.detail = output;
        if (verified < 0) {
            report->notes.push_back("the signature's chain was not checked: " + output);
        } else if (verified == 0) {
            trust.verified = true;
        } else {
            const bool broken = output.find("digest mismatch") != std::string::npos ||
                                output.find("MISMATCH") != std::string::npos;
            trust.result = broken ? 0x80096010u : PLAT_TRUST_UNTRUSTED_ROOT;
            if (broken) {
                Refuse(report, EndWith(Outcome::BadSignature, 0x80096010u),
                       "the runtime library was changed after it was signed: " + output);
            } else {
                Refuse(report,
                       EndWith(Outcome::Untrusted, signer.empty() ? u"an unknown signer" : signer.c_str(),
                               PLAT_TRUST_UNTRUSTED_ROOT), "its chain does not lead to a root given with --trust-root: " + output);
            }
            return false;
        }
    }
    if (options.trustRoots.empty() && options.machineTrust != nullptr &&
        !AskThisMachine(publisher, image, options.machineTrust, report)) {
        return false;
    }
    // The pin decides before the signer's name, as in the launcher.
    const MaybeText& pinText = report->launcher.pin;
    Pin pin{};
    if (!pinText.present) {
        report->notes.push_back("warning: no pin: the launcher runs any build signed as " + Quoted(publisher) +
                                " whose CRC-32 matches, not only this one (vorlane-pack writes the pin of a signed "
                                "runtime library unless told --no-pin).");
    } else if (!ParsePin(pinText.text.c_str(), &pin)) {
        Refuse(report, EndWith(Outcome::PinUnreadable),
               "string 8 of the launcher's string table is not \"<algorithm>:<hex digest>\": the launcher refuses "
               "every runtime library. Pack again with vorlane-pack.");
        return false;
    } else if (pe.digestKnown && !PinMatches(pin, pe.digest.kind, pe.digest.digest, pe.digest.size)) {
        char16_t digest[160];
        if (!FormatPin(pe.digest, digest, 160)) digest[0] = 0;
        Refuse(report, EndWith(Outcome::NotPinned, digest),
               "the launcher's pin (string 8) names another build than the one in the archive: it refuses this one, "
               "replaces it from the archive once and refuses it again. Pack the launcher and the runtime together.");
        return false;
    } else if (!pe.digestKnown) {
        report->notes.push_back("the signed digest cannot be read from VorlaneStub.dll's signature: whether it is the "
                                "pinned build is not checked.");
    }
    if (!pe.signerKnown) {
        report->notes.push_back("the signer's name cannot be read from VorlaneStub.dll's signature: whether it is " +
                                Quoted(publisher) + " is not checked.");
        return true;
    }
    if (signer != publisher) {
        Refuse(report, EndWith(Outcome::WrongSigner, signer.empty() ? u"(no name)" : signer.c_str(), publisher.c_str()),
               "the launcher requires the signer's display name to equal its publisher (string 7) character for "
               "character. Sign with the publisher's certificate, or write its name with vorlane-pack --publisher.");
        return false;
    }
    if (options.trustRoots.empty() && options.machineTrust == nullptr) {
        report->notes.push_back("the signature's chain was not checked: the launcher also needs it to lead to a root "
                                "your users' machines trust (vorlane-inspect --trust-root ROOT checks it).");
    }
    return true;
}

// Stage 15: the load, the export and the two settings the runtime receives.
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
    std::vector<std::string> foreign;
    for (const std::string& name : pe.imports) {
        if (!IsSystemLibrary(name)) foreign.push_back(name);
    }
    if (!foreign.empty()) {
        Refuse(report, failed,
               "VorlaneStub.dll imports " + Listed(foreign) +
                   ", which Windows does not provide: the launcher takes the runtime's dependencies from the system "
                   "folder only. Link them into it statically (mingw: -static -static-libgcc -static-libstdc++; "
                   "MSVC: /MT).");
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
    if (!report->launcher.strings[0].present || !report->launcher.strings[1].present) {
        Refuse(report, EndWith(Outcome::SettingMissing),
               std::string("setting ") + (report->launcher.strings[0].present ? "5" : "4") +
                   " is missing from the launcher's string table: the launcher loads the runtime but does not call "
                   "it. Give it a value (vorlane-pack --setting4 / --setting5).");
    }
}

}  // namespace

int ExitStatusOf(int code) { return static_cast<int>(static_cast<uint32_t>(code) & 0xFFu); }

void JudgeRuntime(const std::vector<uint8_t>& installed, const InspectOptions& options, InspectReport* report) {
    if (report->runtimeInstallable) {
        const EntryFacts& entry = report->entries[static_cast<size_t>(report->runtimeEntry)];
#if VORLANE_VERIFY_SIGNATURE
        if (!JudgeSignature(entry.runtimePe, installed, options, report)) return;
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
