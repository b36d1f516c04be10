#include "archive/pin.h"

#include "base/hex.h"

namespace {

struct Algorithm {
    PlatDigestKind kind;
    const char16_t* name;
    uint32_t size;
};

const Algorithm ALGORITHMS[] = {
    {PlatDigestKind::Sha1, u"sha1", 20},
    {PlatDigestKind::Sha256, u"sha256", 32},
    {PlatDigestKind::Sha384, u"sha384", 48},
    {PlatDigestKind::Sha512, u"sha512", 64},
};

}  // namespace

uint32_t DigestSizeOf(PlatDigestKind kind) {
    for (const Algorithm& a : ALGORITHMS) {
        if (a.kind == kind) return a.size;
    }
    return 0;
}

const char16_t* DigestNameOf(PlatDigestKind kind) {
    for (const Algorithm& a : ALGORITHMS) {
        if (a.kind == kind) return a.name;
    }
    return nullptr;
}

bool ParsePin(const char16_t* text, Pin* pin) {
    *pin = Pin{PlatDigestKind::None, 0, {}};
    if (text == nullptr) return false;
    for (const Algorithm& a : ALGORITHMS) {
        size_t n = 0;
        while (a.name[n] != 0 && text[n] == a.name[n]) ++n;
        if (a.name[n] != 0 || text[n] != u':') continue;
        const char16_t* hex = text + n + 1;
        for (uint32_t i = 0; i < a.size; ++i) {
            const int high = HexValue(hex[2 * i]);
            const int low = high < 0 ? -1 : HexValue(hex[2 * i + 1]);
            if (low < 0) return false;
            pin->digest[i] = static_cast<uint8_t>(high * 16 + low);
        }
        if (hex[2 * a.size] != 0) return false;
        pin->kind = a.kind;
        pin->size = a.size;
        return true;
    }
    return false;
}

bool FormatPin(const Pin& pin, char16_t* out, size_t capacity) {
    const char16_t* name = DigestNameOf(pin.kind);
    if (name == nullptr || pin.size != DigestSizeOf(pin.kind) || capacity == 0) return false;
    size_t n = 0;
    while (name[n] != 0) ++n;
    if (n + 1 + 2 * static_cast<size_t>(pin.size) + 1 > capacity) return false;
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) out[at++] = name[i];
    out[at++] = u':';
    for (uint32_t i = 0; i < pin.size; ++i) {
        out[at++] = static_cast<char16_t>(HEX_LOWER[pin.digest[i] >> 4]);
        out[at++] = static_cast<char16_t>(HEX_LOWER[pin.digest[i] & 15]);
    }
    out[at] = 0;
    return true;
}

bool PinMatches(const Pin& pin, PlatDigestKind kind, const uint8_t* digest, uint32_t size) {
    if (pin.kind == PlatDigestKind::None || kind != pin.kind || size != pin.size) return false;
    uint8_t differ = 0;
    for (uint32_t i = 0; i < size; ++i) differ |= static_cast<uint8_t>(digest[i] ^ pin.digest[i]);
    return differ == 0;
}
