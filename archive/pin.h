// The pin: the Authenticode digest of the runtime library the packager packed,
// written into the launcher's string table as "<algorithm>:<hex digest>"
// ("sha256:" and 64 hex digits, for instance). Only a library with that very
// digest is ever loaded; two signatures over the same code share it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

struct Pin {
    PlatDigestKind kind;
    uint32_t size;
    uint8_t digest[PLAT_DIGEST_CAPACITY];
};

// The digest size of an algorithm in bytes; 0 for None.
uint32_t DigestSizeOf(PlatDigestKind kind);
// "sha1", "sha256", "sha384" or "sha512"; null for None.
const char16_t* DigestNameOf(PlatDigestKind kind);

// Reads "<algorithm>:<hex>" (hex digits in either case, exactly the
// algorithm's digest size); false for anything else.
bool ParsePin(const char16_t* text, Pin* pin);
// Writes the pin's text form into capacity characters; false when it does not fit.
bool FormatPin(const Pin& pin, char16_t* out, size_t capacity);
// Whether a digest the trust services reported is the pinned one.
bool PinMatches(const Pin& pin, PlatDigestKind kind, const uint8_t* digest, uint32_t size);
