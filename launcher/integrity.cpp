#include "launcher/integrity.h"

#include "archive/archive_reader.h"
#include "base/long_path.h"
#include "base/text.h"
#include "cache/remove_tree.h"
#include "cache/runtime_dir.h"
#include "launcher/build_config.h"

namespace {

// Results of the trust services that mean "this chain is not one we trust",
// as opposed to a missing or broken signature.
bool IsUntrusted(uint32_t result) {
    switch (result) {
        case PLAT_TRUST_UNTRUSTED_ROOT:
        case 0x800B010Au:  // CERT_E_CHAINING
        case 0x800B0111u:  // TRUST_E_EXPLICIT_DISTRUST
        case 0x800B0101u:  // CERT_E_EXPIRED
        case 0x800B0112u:  // CERT_E_UNTRUSTEDCA
            return true;
        default:
            return false;
    }
}

bool IsRevoked(uint32_t result) { return result == PLAT_TRUST_REVOKED || result == PLAT_TRUST_CRYPT_REVOKED; }

// Revocation is looked up in the local cache only. A start without it at hand
// passes, but only when not knowing the revocation status is all that is wrong
// with the chain.
bool OnlyRevocationUnknown(const PlatTrustAnswer& answer) {
    if (answer.result != PLAT_TRUST_REVOCATION_FAILURE && answer.result != PLAT_TRUST_NO_REVOCATION_CHECK &&
        answer.result != PLAT_TRUST_REVOCATION_OFFLINE) {
        return false;
    }
    const uint32_t unknown = PLAT_CHAIN_REVOCATION_UNKNOWN | PLAT_CHAIN_OFFLINE_REVOCATION;
    return (answer.chainErrors & PLAT_CHAIN_REVOCATION_UNKNOWN) != 0 && (answer.chainErrors & ~unknown) == 0;
}

const char16_t* SignerOrUnknown(const PlatTrustAnswer& answer) {
    return answer.signer[0] != 0 ? answer.signer : u"an unknown signer";
}

// The whole name, character for character: a name with a NUL inside or a
// longer one never passes for the publisher.
bool IsPublisher(const PlatTrustAnswer& answer, const char16_t* publisher, size_t length) {
    if (answer.signerLength != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (answer.signer[i] != publisher[i]) return false;
    }
    return true;
}

CheckResult Verdict(CheckVerdict verdict, Outcome outcome, ...) {
    va_list args;
    va_start(args, outcome);
    const CheckResult result{verdict, EndWithV(outcome, args)};
    va_end(args);
    return result;
}

// The pin the packager wrote: none (a launcher built or packed without one),
// or the digest the library must have. False when a pin is there but unreadable.
bool ReadPin(PlatModule instance, bool* present, Pin* pin) {
    char16_t text[PUBLISHER_CAPACITY];
    const int length = PlatLoadString(instance, PIN_STRING_ID, text, PUBLISHER_CAPACITY);
    *present = length > 0;
    if (!*present) return true;
    text[length < PUBLISHER_CAPACITY ? length : PUBLISHER_CAPACITY - 1] = 0;
    return ParsePin(text, pin);
}

CheckResult CheckSignature(const LibraryCheck& check, PlatFile file, const Pin* pin) {
    // Without a publisher any signer would do: that is no check.
    char16_t publisher[PUBLISHER_CAPACITY];
    const int publisherLength = PlatLoadString(check.instance, PUBLISHER_STRING_ID, publisher, PUBLISHER_CAPACITY);
    if (publisherLength <= 0) {
        return Verdict(CheckVerdict::Failed, Outcome::NoPublisher);
    }
    publisher[publisherLength < PUBLISHER_CAPACITY ? publisherLength : PUBLISHER_CAPACITY - 1] = 0;

    const uint32_t loaded = PlatLoadTrustServices();
    if (loaded != 0) {
        return Verdict(CheckVerdict::Failed, Outcome::TrustServices, loaded);
    }
    PlatTrustAnswer answer;
    PlatVerifyTrust(file, check.libraryPath, &answer);
    answer.signer[PLAT_SIGNER_CAPACITY - 1] = 0;
    if (answer.signerLength >= PLAT_SIGNER_CAPACITY) answer.signerLength = 0;

    // The chain decides first: a signer's name means nothing under an untrusted root.
    if (answer.result != PLAT_TRUST_OK && !OnlyRevocationUnknown(answer)) {
        if (answer.result == PLAT_TRUST_NOSIGNATURE || answer.result == PLAT_TRUST_SUBJECT_FORM) {
            return Verdict(CheckVerdict::Refused, Outcome::NotSigned);
        }
        if (IsRevoked(answer.result)) {
            return Verdict(CheckVerdict::Refused, Outcome::Revoked, SignerOrUnknown(answer), answer.result);
        }
        if (IsUntrusted(answer.result)) {
            return Verdict(CheckVerdict::Refused, Outcome::Untrusted, SignerOrUnknown(answer), answer.result);
        }
        return Verdict(CheckVerdict::Refused, Outcome::BadSignature, answer.result);
    }
    // The pin names the very build that was packed: another build, whoever
    // signed it and under whatever name, is not it.
    if (pin != nullptr && !PinMatches(*pin, answer.digestKind, answer.digest, answer.digestSize)) {
        Pin found{answer.digestKind, answer.digestSize, {}};
        for (uint32_t i = 0; i < answer.digestSize && i < PLAT_DIGEST_CAPACITY; ++i) found.digest[i] = answer.digest[i];
        char16_t digest[PUBLISHER_CAPACITY];
        if (!FormatPin(found, digest, PUBLISHER_CAPACITY)) TextFormat(digest, PUBLISHER_CAPACITY, u"unknown");
        return Verdict(CheckVerdict::Refused, Outcome::NotPinned, digest);
    }
    if (!IsPublisher(answer, publisher, static_cast<size_t>(publisherLength))) {
        return Verdict(CheckVerdict::Refused, Outcome::WrongSigner,
                       answer.signer[0] != 0 ? answer.signer : u"(no name)", publisher);
    }
    // A certificate that names no use is valid for every use to the generic policy.
    if (!answer.codeSigning) {
        return Verdict(CheckVerdict::Refused, Outcome::NotCodeSigning, SignerOrUnknown(answer));
    }
    return CheckResult{CheckVerdict::Passed, EndWith(Outcome::Ok)};
}

}  // namespace

CheckResult CheckRuntimeIntegrity(const LibraryCheck& check, CheckedLibrary* checked) {
    // Without the restricted search the loader would look for the library's own
    // dependencies beside it and in the current folder, where nothing is checked.
    if (!check.searchRestricted) {
        return Verdict(CheckVerdict::Failed, Outcome::UnsafeSearch);
    }
    bool pinned = false;
    Pin pin{};
    if (!ReadPin(check.instance, &pinned, &pin)) {
        return Verdict(CheckVerdict::Failed, Outcome::PinUnreadable);
    }

    // Read sharing only: nobody may write, rename or delete the file until it is loaded.
    OwnedFile file(PlatCreateFileAt(check.runtimeDir, LIBRARY_NAME, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT));
    if (!file.Valid()) {
        const uint32_t error = PlatGetLastError();
        // Gone since it was installed: the archive still has it.
        const CheckVerdict verdict = error == ERROR_FILE_NOT_FOUND ? CheckVerdict::Refused : CheckVerdict::Failed;
        return Verdict(verdict, Outcome::CheckOpen, error);
    }

    // A link is no copy at all, and a file with another name elsewhere could be
    // changed through that name.
    uint32_t attributes = 0;
    uint32_t links = 0;
    if (!PlatGetHandleAttributes(file.Get(), &attributes) || !PlatGetLinkCount(file.Get(), &links)) {
        return Verdict(CheckVerdict::Failed, Outcome::CheckIdentify, PlatGetLastError());
    }
    if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 || links != 1) {
        return Verdict(CheckVerdict::Refused, Outcome::NotOurCopy);
    }

    // Without a pin, or without the trust services to report the digest, the
    // bytes that will run must at least be this archive's.
    if (!pinned || !VORLANE_VERIFY_SIGNATURE) {
        uint32_t crc = 0;
        const uint32_t error = HandleCrc(file.Get(), &crc, check.buffer);
        if (error != 0) {
            return Verdict(CheckVerdict::Failed, Outcome::CheckRead, error);
        }
        if (!check.installed.known || crc != check.installed.crc) {
            return Verdict(CheckVerdict::Refused, Outcome::NotOurCopy);
        }
    }

    if (VORLANE_VERIFY_SIGNATURE) {
        const CheckResult signature = CheckSignature(check, file.Get(), pinned ? &pin : nullptr);
        if (signature.verdict != CheckVerdict::Passed) return signature;
    }
    checked->held.Reset(file.Release());
    return CheckResult{CheckVerdict::Passed, EndWith(Outcome::Ok)};
}

bool ResolveLoadPath(const CheckedLibrary& checked, char16_t* path, Ending* ending) {
    char16_t final[LONG_PATH_CAPACITY];
    const uint32_t length = PlatGetFinalPath(checked.held.Get(), final, LONG_PATH_CAPACITY);
    if (length == 0) {
        *ending = EndWith(Outcome::FinalPathUnreadable, PlatGetLastError());
        return false;
    }
    // "\\?\UNC\server\share\..." is a file on another machine; "\\?\X:\..." a local one.
    const char16_t* plain = final;
    if (length >= 4 && final[0] == u'\\' && final[1] == u'\\' && final[2] == u'?' && final[3] == u'\\') plain += 4;
    const bool unc = (plain[0] == u'U' || plain[0] == u'u') && (plain[1] == u'N' || plain[1] == u'n') &&
                     (plain[2] == u'C' || plain[2] == u'c') && plain[3] == u'\\';
    if (unc || plain[0] == u'\\') {
        *ending = EndWith(Outcome::NetworkVolume);
        return false;
    }
    char16_t scratch[LONG_PATH_CAPACITY];
    if (!TextFormat(path, LONG_PATH_CAPACITY, u"%s", ToLongPath(plain, scratch))) {
        *ending = EndWith(Outcome::FinalPathTooLong);
        return false;
    }
    return true;
}
