#include "launcher/integrity.h"

#include "cache/long_path.h"
#include "launcher/build_config.h"
#include "launcher/error_box.h"
#include "launcher/text.h"

namespace {

constexpr const char16_t* LIBRARY_NAME = u"VorlaneStub.dll";

// Results of the trust services that mean "this chain is not one we trust",
// as opposed to a missing or broken signature.
bool IsUntrusted(uint32_t result) {
    switch (result) {
        case PLAT_TRUST_UNTRUSTED_ROOT:
        case 0x800B010Au:  // CERT_E_CHAINING
        case 0x800B0111u:  // TRUST_E_EXPLICIT_DISTRUST
        case 0x800B0101u:  // CERT_E_EXPIRED
        case 0x800B010Cu:  // CERT_E_REVOKED
        case 0x800B0112u:  // CERT_E_UNTRUSTEDCA
            return true;
        default:
            return false;
    }
}

}  // namespace

bool CheckRuntimeIntegrity(const char16_t* libraryPath, PlatFile* held) {
    // Read sharing only: nobody may write, rename or delete the file until it is loaded.
    char16_t scratch[LONG_PATH_CAPACITY];
    PlatFile file = PlatCreateFile(ToLongPath(libraryPath, scratch), GENERIC_READ, FILE_SHARE_READ,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (file == PLAT_INVALID_HANDLE) {
        ShowErrorF(u"Cannot check %s: the file cannot be opened (error %u).", LIBRARY_NAME, PlatGetLastError());
        return false;
    }

    char16_t signer[PLAT_SIGNER_CAPACITY];
    signer[0] = 0;
    const uint32_t result = PlatVerifyTrust(file, libraryPath, signer, PLAT_SIGNER_CAPACITY);
    signer[PLAT_SIGNER_CAPACITY - 1] = 0;

    // The chain decides first: a signer's name means nothing under an untrusted root.
    if (result != PLAT_TRUST_OK) {
        if (result == PLAT_TRUST_NOSIGNATURE || result == PLAT_TRUST_SUBJECT_FORM) {
            ShowErrorF(u"%s is not signed.", LIBRARY_NAME);
        } else if (IsUntrusted(result)) {
            ShowErrorF(u"%s is signed by %s, whose certificate is not trusted (0x%X).", LIBRARY_NAME,
                       signer[0] != 0 ? signer : u"an unknown signer", result);
        } else {
            ShowErrorF(u"%s has an invalid signature (0x%X).", LIBRARY_NAME, result);
        }
        PlatCloseHandle(file);
        return false;
    }
    if (!TextEqual(signer, VORLANE_PUBLISHER)) {
        ShowErrorF(u"%s is signed by %s, expected %s.", LIBRARY_NAME, signer[0] != 0 ? signer : u"(no name)",
                   VORLANE_PUBLISHER);
        PlatCloseHandle(file);
        return false;
    }
    *held = file;
    return true;
}
