// The answer the trust services give the launcher about the runtime library
// (PlatTrustAnswer), for a library that is only bytes so far: asked of this
// machine where the build has its trust check and no roots are given, else
// built here from the signature and the bytes, the chain judged against the
// packager's roots or, without them, taken as trusted. The launcher's own
// JudgeTrustAnswer then decides, so the tools never judge a signature apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/inspect/findings.h"
#include "tools/inspect/inspect.h"

struct TrustAsked {
    PlatTrustAnswer answer{};
    bool chainChecked = false;  // the chain's verdict came from the roots or the machine, not assumed
    TrustFacts facts;           // what the report says of the chain
    std::string unchecked;      // when not checked: why, for a note
};

// The answer about the library image (its PE facts read from the same bytes).
// Its parts, built here as the trust services make them:
// - no certificate table, or one whose signature cannot be read: TRUST_E_NOSIGNATURE;
// - the signer's simple display name (none when 256 characters or longer) and
//   whether its certificate names code signing (no extension: it does not);
// - the signed digest, and TRUST_E_BAD_DIGEST when the Authenticode digest
//   recomputed over the bytes differs from it (or cannot be computed);
// - the chain against the given roots (untrusted, expired or revoked), or none.
void AskTrust(const std::vector<uint8_t>& image, const PeFacts& pe, const InspectOptions& options, TrustAsked* out);
