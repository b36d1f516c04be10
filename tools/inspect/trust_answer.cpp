#include "tools/inspect/trust_answer.h"

#include "archive/pe_digest.h"
#include "tools/inspect/report_common.h"

namespace {

constexpr uint32_t CERT_E_EXPIRED = 0x800B0101u;

// The answer's own parts, read from the signature: the name as the trust
// services give it (nothing when it does not fit their buffer), the use and
// the signed digest.
void SignerParts(const PeFacts& pe, PlatTrustAnswer* answer) {
    if (pe.signerKnown && pe.signer.size() < PLAT_SIGNER_CAPACITY) {
        for (size_t i = 0; i < pe.signer.size(); ++i) answer->signer[i] = pe.signer[i];
        answer->signer[pe.signer.size()] = 0;
        answer->signerLength = pe.signer.size();
    }
    answer->codeSigning = pe.signerCodeSigning;
    if (pe.digestKnown) {
        answer->digestKind = pe.digest.kind;
        answer->digestSize = pe.digest.size;
        for (uint32_t i = 0; i < pe.digest.size && i < PLAT_DIGEST_CAPACITY; ++i) {
            answer->digest[i] = pe.digest.digest[i];
        }
    }
}

// Whether the bytes hash to the digest the signature signs, as the trust
// services recompute it before they look at the chain.
bool BytesMatchSignedDigest(const std::vector<uint8_t>& image, const PeFacts& pe) {
    const MemoryFile bytes{image.data(), image.size()};
    Pin computed{};
    if (AuthenticodeDigest(MemoryReader(&bytes), pe.digest.kind, &computed) != PeDigestResult::Ok) return false;
    return PinMatches(pe.digest, computed.kind, computed.digest, computed.size);
}

// What the trust services answer for a chain osslsigncode refused, by its reason.
uint32_t ChainResult(const std::string& why) {
    if (why.find("MISMATCH") != std::string::npos || why.find("digest mismatch") != std::string::npos) {
        return PLAT_TRUST_BAD_DIGEST;
    }
    if (why.find("revoked") != std::string::npos) return PLAT_TRUST_REVOKED;
    if (why.find("expired") != std::string::npos) return CERT_E_EXPIRED;
    return PLAT_TRUST_UNTRUSTED_ROOT;
}

void AskRoots(const std::vector<uint8_t>& image, const InspectOptions& options, TrustAsked* out) {
    std::string output;
    bool holds = false;
    if (options.verify == nullptr || !options.verify(image.data(), image.size(), options.trustRoots, &holds, &output)) {
        out->unchecked = output.empty() ? std::string("no chain check in this build") : output;
        return;
    }
    out->chainChecked = true;
    out->facts.checked = true;
    out->facts.detail = output;
    out->facts.verified = holds;
    if (!holds) {
        out->answer.result = ChainResult(output);
        out->facts.result = out->answer.result;
    }
}

}  // namespace

void AskTrust(const std::vector<uint8_t>& image, const PeFacts& pe, const InspectOptions& options, TrustAsked* out) {
    *out = TrustAsked{};
    if (options.trustRoots.empty() && options.machineTrust != nullptr) {
        std::string why;
        if (options.machineTrust(image.data(), image.size(), &out->answer, &why)) {
            out->chainChecked = true;
            TrustFacts& facts = out->facts;
            facts.checked = true;
            facts.byMachine = true;
            facts.detail = "this machine's trust check answered " + Hex32(out->answer.result);
            return;
        }
        out->answer = PlatTrustAnswer{};
        out->unchecked = "this machine's trust check cannot be asked (" + why + ")";
    }
    PlatTrustAnswer& answer = out->answer;
    answer.result = PLAT_TRUST_OK;
    // A table whose signature yields neither a signer nor a digest carries no signature the services could read.
    if (!pe.valid || !pe.hasCertificateTable || (!pe.signerKnown && !pe.digestKnown)) {
        answer.result = PLAT_TRUST_NOSIGNATURE;
        return;
    }
    SignerParts(pe, &answer);
    if (pe.digestKnown && !BytesMatchSignedDigest(image, pe)) {
        answer.result = PLAT_TRUST_BAD_DIGEST;
        return;
    }
    if (!options.trustRoots.empty()) {
        AskRoots(image, options, out);
    } else if (out->unchecked.empty()) {
        out->unchecked = "no --trust-root given";
    }
}
