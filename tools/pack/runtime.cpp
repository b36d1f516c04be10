// The runtime library: what it must be to be packed at all, signed when asked
// (on a copy in the work folder; the packager's file stays as it is), its pin
// (the signed Authenticode digest, checked against the bytes) and the
// publisher it names.
#include "archive/pe_digest.h"
#include "tools/inspect/inspect.h"
#include "tools/inspect/report_common.h"
#include "tools/pack/pack_tool.h"
#include "tools/resources/resources.h"

namespace {

constexpr uint64_t SIGNED_RUNTIME_LIMIT = 1u << 30;

std::string SignerOf(const SignSettings& sign) {
    if (!sign.command.empty()) return "your signing command";
    return sign.pkcs12.empty() ? sign.certificate : sign.pkcs12;
}

}  // namespace

bool CheckRuntimeInput(const PackOptions& options, const PackFiles& files, Failure* failure) {
    if (options.uncheckedRuntime) return true;
    const PeFacts pe = ReadPeFacts(files.runtime.data(), files.runtime.size(), true);
    const std::string what = "runtime library " + options.runtime;
    if (!pe.valid) return Fail(failure, PACK_EXIT_FAILED, what + " is not a PE image (no MZ or PE signature)");
    if (!pe.dll) return Fail(failure, PACK_EXIT_FAILED, what + " is an executable, not a DLL");
    return true;
}

bool SignRuntime(const PackOptions& options, std::string* work, PackFiles* files, Failure* failure) {
    if (!SigningAsked(options.sign)) return true;
    const PeFacts before = ReadPeFacts(files->runtime.data(), files->runtime.size(), true);
    if (before.hasCertificateTable && !options.uncheckedRuntime) {
        if (!options.sign.signExe) {
            return Fail(failure, PACK_EXIT_FAILED,
                        "runtime library " + options.runtime +
                            " is signed already: pack it as it is, or sign an unsigned build");
        }
        Say("the runtime library is signed already: packed as it is (--sign-exe signs the package)");
        return true;
    }
    std::string why;
    if (work->empty() && !ToolMakeWorkFolder(work, &why)) {
        return Fail(failure, PACK_EXIT_FAILED, "cannot make a temporary folder: " + why);
    }
    const std::string signedPath = ToolJoin(*work, Utf8Of(LIBRARY_NAME));
    Say("signing the runtime library with " + SignerOf(options.sign));
    if (!SignFile(options.sign, options.runtime, signedPath, "the runtime library", &why)) {
        if (Interrupted(failure)) return false;
        return Fail(failure, PACK_EXIT_FAILED, why);
    }
    if (Interrupted(failure)) return false;
    if (!ToolReadWhole(signedPath, SIGNED_RUNTIME_LIMIT, &files->runtime, &why)) {
        return Fail(failure, PACK_EXIT_FAILED, "cannot read the signed runtime library: " + why);
    }
    const PeFacts after = ReadPeFacts(files->runtime.data(), files->runtime.size(), true);
    if (!after.hasCertificateTable && !options.uncheckedRuntime) {
        return Fail(failure, PACK_EXIT_FAILED, "the signer wrote no signature into the runtime library");
    }
    return true;
}

bool StudyRuntime(const PackOptions& options, const PackFiles& files, RuntimeInfo* info, Failure* failure) {
    info->pe = ReadPeFacts(files.runtime.data(), files.runtime.size(), true);
    const PeFacts& pe = info->pe;
    const std::string what = "runtime library " + options.runtime;
    if (options.noPin) {
        Warn("no pin (--no-pin): the launcher will run any build signed by the publisher whose CRC-32 matches, not "
             "only this one");
    } else if (!pe.valid || !pe.hasCertificateTable) {
        Warn("no pin: the runtime library is not signed, so the launcher will refuse it");
    } else if (!pe.digestKnown) {
        if (!options.uncheckedRuntime) {
            return Fail(failure, PACK_EXIT_FAILED,
                        what + " has a signature whose signed digest cannot be read (SHA-1, SHA-256, SHA-384 or "
                               "SHA-512 expected): sign it again, or pack with --no-pin to leave the pin out");
        }
        Warn("no pin: the signed digest cannot be read from the runtime library's signature");
    } else {
        const MemoryFile bytes{files.runtime.data(), files.runtime.size()};
        Pin computed{};
        const PeDigestResult result = AuthenticodeDigest(MemoryReader(&bytes), pe.digest.kind, &computed);
        if (result != PeDigestResult::Ok || !PinMatches(computed, pe.digest.kind, pe.digest.digest, pe.digest.size)) {
            // The check refuses it as the launcher's trust check does (changed after signing).
            if (!CheckRuns(options)) Warn("no pin: the runtime library's signature does not match its bytes");
        } else {
            char16_t text[2 * PLAT_DIGEST_CAPACITY + 16];
            if (FormatPin(computed, text, sizeof text / sizeof text[0])) {
                info->pinned = true;
                info->pin = computed;
                info->pinText = Utf8Of(text);
                Say("pin: " + info->pinText);
            }
        }
    }

    if (options.publisher.given) {
        Utf16FromUtf8(options.publisher.text, &info->publisher);
    } else if (!options.uncheckedRuntime && pe.signerKnown && !pe.signer.empty()) {
        if (pe.signer.size() > STRING_CAPACITY) {
            Warn("the runtime library's signer's name is longer than the launcher reads: the launcher's publisher "
                 "stays (give --publisher)");
        } else {
            info->publisher = pe.signer;
            info->publisherFromSigner = true;
            Say("publisher: \"" + Shown(pe.signer) + "\" (the runtime library's signer)");
        }
    }
    return true;
}
