// What the launcher's check makes of the trust services' answer, and how the
// check ends: a file of its own so that vorlane-inspect links it without the
// rest of the check.
#include <cstdarg>

#include "base/text.h"
#include "launcher/integrity.h"

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

}  // namespace

CheckVerdict CheckEnds(CheckVerdict verdict, Ending* ending, Outcome outcome, ...) {
    va_list args;
    va_start(args, outcome);
    *ending = EndWithV(outcome, args);
    va_end(args);
    return verdict;
}

CheckVerdict JudgeTrustAnswer(PlatTrustAnswer* trust, const char16_t* publisher, size_t publisherLength,
                              const Pin* pin, Ending* ending) {
    PlatTrustAnswer& answer = *trust;
    answer.signer[PLAT_SIGNER_CAPACITY - 1] = 0;
    if (answer.signerLength >= PLAT_SIGNER_CAPACITY) answer.signerLength = 0;

    // The chain decides first: a signer's name means nothing under an untrusted root.
    if (answer.result != PLAT_TRUST_OK && !OnlyRevocationUnknown(answer)) {
        if (answer.result == PLAT_TRUST_NOSIGNATURE || answer.result == PLAT_TRUST_SUBJECT_FORM) {
            return CheckEnds(CheckVerdict::Refused, ending, Outcome::NotSigned);
        }
        if (IsRevoked(answer.result)) {
            return CheckEnds(CheckVerdict::Refused, ending, Outcome::Revoked, SignerOrUnknown(answer), answer.result);
        }
        if (IsUntrusted(answer.result)) {
            return CheckEnds(CheckVerdict::Refused, ending, Outcome::Untrusted, SignerOrUnknown(answer), answer.result);
        }
        return CheckEnds(CheckVerdict::Refused, ending, Outcome::BadSignature, answer.result);
    }
    // The pin names the very build that was packed: another build, whoever
    // signed it and under whatever name, is not it.
    if (pin != nullptr && !PinMatches(*pin, answer.digestKind, answer.digest, answer.digestSize)) {
        Pin found{answer.digestKind, answer.digestSize, {}};
        for (uint32_t i = 0; i < answer.digestSize && i < PLAT_DIGEST_CAPACITY; ++i) found.digest[i] = answer.digest[i];
        char16_t digest[PUBLISHER_CAPACITY];
        if (!FormatPin(found, digest, PUBLISHER_CAPACITY)) TextFormat(digest, PUBLISHER_CAPACITY, u"unknown");
        return CheckEnds(CheckVerdict::Refused, ending, Outcome::NotPinned, digest);
    }
    if (!IsPublisher(answer, publisher, publisherLength)) {
        return CheckEnds(CheckVerdict::Refused, ending, Outcome::WrongSigner,
                       answer.signer[0] != 0 ? answer.signer : u"(no name)", publisher);
    }
    // A certificate that names no use is valid for every use to the generic policy.
    if (!answer.codeSigning) {
        return CheckEnds(CheckVerdict::Refused, ending, Outcome::NotCodeSigning, SignerOrUnknown(answer));
    }
    return CheckEnds(CheckVerdict::Passed, ending, Outcome::Ok);
}
