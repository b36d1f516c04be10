#include "launcher/integrity.h"

#include "archive/archive_reader.h"
#include "launcher/build_config.h"
#include "base/error_box.h"
#include "base/text.h"

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

bool CheckSignature(PlatModule instance, PlatFile file, const char16_t* libraryPath) {
    // Without a publisher any signer would do: that is no check.
    char16_t publisher[PUBLISHER_CAPACITY];
    const int publisherLength = PlatLoadString(instance, PUBLISHER_STRING_ID, publisher, PUBLISHER_CAPACITY);
    if (publisherLength <= 0) {
        ShowErrorF(u"Cannot check %s: this application names no publisher.", LIBRARY_NAME);
        return false;
    }
    publisher[publisherLength < PUBLISHER_CAPACITY ? publisherLength : PUBLISHER_CAPACITY - 1] = 0;

    const uint32_t loaded = PlatLoadTrustServices();
    if (loaded != 0) {
        ShowErrorF(u"Cannot check %s: the system's trust services cannot be loaded (error %u).", LIBRARY_NAME,
                   loaded);
        return false;
    }
    PlatTrustAnswer answer;
    PlatVerifyTrust(file, libraryPath, &answer);
    answer.signer[PLAT_SIGNER_CAPACITY - 1] = 0;
    if (answer.signerLength >= PLAT_SIGNER_CAPACITY) answer.signerLength = 0;

    // The chain decides first: a signer's name means nothing under an untrusted root.
    if (answer.result != PLAT_TRUST_OK && !OnlyRevocationUnknown(answer)) {
        if (answer.result == PLAT_TRUST_NOSIGNATURE || answer.result == PLAT_TRUST_SUBJECT_FORM) {
            ShowErrorF(u"%s is not signed.", LIBRARY_NAME);
        } else if (IsRevoked(answer.result)) {
            ShowErrorF(u"%s is signed by %s, whose certificate has been revoked (0x%X).", LIBRARY_NAME,
                       SignerOrUnknown(answer), answer.result);
        } else if (IsUntrusted(answer.result)) {
            ShowErrorF(u"%s is signed by %s, whose certificate is not trusted (0x%X).", LIBRARY_NAME,
                       SignerOrUnknown(answer), answer.result);
        } else {
            ShowErrorF(u"%s has an invalid signature (0x%X).", LIBRARY_NAME, answer.result);
        }
        return false;
    }
    if (!IsPublisher(answer, publisher, static_cast<size_t>(publisherLength))) {
        ShowErrorF(u"%s is signed by %s, expected %s.", LIBRARY_NAME, answer.signer[0] != 0 ? answer.signer : u"(no name)",
                   publisher);
        return false;
    }
    return true;
}

}  // namespace

bool CheckRuntimeIntegrity(const LibraryCheck& check, CheckedLibrary* checked) {
    // Without the restricted search the loader would look for the library's own
    // dependencies beside it and in the current folder, where nothing is checked.
    if (!check.searchRestricted) {
        ShowErrorF(u"%s cannot be loaded safely on this system: install the Windows update KB2533623.",
                   LIBRARY_NAME);
        return false;
    }

    // Read sharing only: nobody may write, rename or delete the file until it is loaded.
    FileHandle file;
    file.file = PlatCreateFileAt(check.runtimeDir, LIBRARY_NAME, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT);
    if (!file.Valid()) {
        ShowErrorF(u"Cannot check %s: the file cannot be opened (error %u).", LIBRARY_NAME, PlatGetLastError());
        return false;
    }

    // The bytes that will run must be this application's, not merely some
    // build its publisher once signed; a link standing there is no copy at all.
    uint32_t attributes = 0;
    if (!PlatGetHandleAttributes(file.file, &attributes)) {
        ShowErrorF(u"Cannot check %s: the file cannot be identified (error %u).", LIBRARY_NAME, PlatGetLastError());
        return false;
    }
    uint32_t crc = 0;
    const bool plain = (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    const uint32_t error = plain ? HandleCrc(file.file, &crc, check.buffer) : 0;
    if (error != 0) {
        ShowErrorF(u"Cannot check %s: the file cannot be read (error %u).", LIBRARY_NAME, error);
        return false;
    }
    if (!plain || !check.installed.known || crc != check.installed.crc) {
        ShowErrorF(u"The installed %s is not this application's copy.", LIBRARY_NAME);
        return false;
    }

    if (VORLANE_VERIFY_SIGNATURE && !CheckSignature(check.instance, file.file, check.libraryPath)) return false;
    checked->held.file = file.file;
    file.file = PLAT_INVALID_HANDLE;
    return true;
}

bool ConfirmLoadTarget(const char16_t* libraryPath, CheckedLibrary* checked) {
    // The plain path, as the loader takes it: no long form, so the same
    // normalisation applies to both.
    checked->resolved.file =
        PlatCreateFile(libraryPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (!checked->resolved.Valid()) {
        ShowErrorF(u"Cannot check %s: the file cannot be opened (error %u).", LIBRARY_NAME, PlatGetLastError());
        return false;
    }
    PlatFileId held;
    PlatFileId resolved;
    if (!PlatGetFileId(checked->held.file, &held) || !PlatGetFileId(checked->resolved.file, &resolved)) {
        ShowErrorF(u"Cannot check %s: the file cannot be identified (error %u).", LIBRARY_NAME, PlatGetLastError());
        return false;
    }
    bool same = held.volume == resolved.volume;
    for (size_t i = 0; same && i < sizeof(held.id); ++i) same = held.id[i] == resolved.id[i];
    if (!same) {
        ShowErrorF(u"Cannot load %s: its path leads to another file than the one checked.", LIBRARY_NAME);
        return false;
    }
    return true;
}
