// The trust and certificate services over Win32: loaded at run time from the
// system folder, then WinVerifyTrust and the signer's name and chain status.
#include "platform/platform.h"

#include <windows.h>

#include <cstring>

#include <mssip.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// The trust and certificate services, loaded at run time from the system
// directory: a static import would make the loader look for them beside the
// executable first, before any code of ours runs.
struct TrustServices {
    decltype(&WinVerifyTrust) verify = nullptr;
    decltype(&WTHelperProvDataFromStateData) providerData = nullptr;
    decltype(&WTHelperGetProvSignerFromChain) signerFromChain = nullptr;
    decltype(&CertGetNameStringW) nameString = nullptr;
    decltype(&CertGetEnhancedKeyUsage) keyUsage = nullptr;
};
TrustServices g_trust;

template <typename Fn>
bool LookUp(HMODULE module, const char* name, Fn* out) {
    FARPROC proc = GetProcAddress(module, name);
    if (proc == nullptr) return false;
    static_assert(sizeof(*out) == sizeof(proc), "function pointers differ in size");
    memcpy(out, &proc, sizeof(proc));
    return true;
}

}  // namespace

bool PlatLoadTrustServices() {
    if (g_trust.verify != nullptr) return true;
    HMODULE wintrust = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (wintrust == nullptr) return false;
    HMODULE crypt32 = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (crypt32 == nullptr) {
        const DWORD error = GetLastError();
        FreeLibrary(wintrust);  // a later try loads both again; nothing half-loaded stays
        SetLastError(error);
        return false;
    }
    TrustServices found;
    if (!LookUp(wintrust, "WinVerifyTrust", &found.verify) ||
        !LookUp(wintrust, "WTHelperProvDataFromStateData", &found.providerData) ||
        !LookUp(wintrust, "WTHelperGetProvSignerFromChain", &found.signerFromChain) ||
        !LookUp(crypt32, "CertGetNameStringW", &found.nameString) ||
        !LookUp(crypt32, "CertGetEnhancedKeyUsage", &found.keyUsage)) {
        FreeLibrary(crypt32);
        FreeLibrary(wintrust);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    g_trust = found;  // the libraries stay loaded for the rest of the process
    return true;
}

namespace {

// The code-signing usage must be named by the certificate itself: one without
// the extension is valid for every use, which the generic policy accepts.
bool NamesCodeSigning(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (g_trust.keyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) == FALSE || size == 0 ||
        size > 4096) {
        return false;
    }
    alignas(CERT_ENHKEY_USAGE) BYTE buffer[4096];
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer);
    if (g_trust.keyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size) == FALSE) return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (usage->rgpszUsageIdentifier[i] != nullptr &&
            strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) {
            return true;
        }
    }
    return false;
}

PlatDigestKind DigestKindOf(const char* oid) {
    if (oid == nullptr) return PlatDigestKind::None;
    if (strcmp(oid, szOID_OIWSEC_sha1) == 0) return PlatDigestKind::Sha1;
    if (strcmp(oid, szOID_NIST_sha256) == 0) return PlatDigestKind::Sha256;
    if (strcmp(oid, szOID_NIST_sha384) == 0) return PlatDigestKind::Sha384;
    if (strcmp(oid, szOID_NIST_sha512) == 0) return PlatDigestKind::Sha512;
    return PlatDigestKind::None;
}

// The digest the signature signs, which the verification compared with the file.
void ReadSignedDigest(const CRYPT_PROVIDER_DATA* provider, PlatTrustAnswer* answer) {
    if (provider->pPDSip == nullptr || provider->pPDSip->psIndirectData == nullptr) return;
    const SIP_INDIRECT_DATA* indirect = provider->pPDSip->psIndirectData;
    const PlatDigestKind kind = DigestKindOf(indirect->DigestAlgorithm.pszObjId);
    if (kind == PlatDigestKind::None || indirect->Digest.pbData == nullptr || indirect->Digest.cbData == 0 ||
        indirect->Digest.cbData > PLAT_DIGEST_CAPACITY) {
        return;
    }
    memcpy(answer->digest, indirect->Digest.pbData, indirect->Digest.cbData);
    answer->digestSize = indirect->Digest.cbData;
    answer->digestKind = kind;
}

}  // namespace

void PlatVerifyTrust(PlatFile file, const char16_t* path, PlatTrustAnswer* answer) {
    answer->result = static_cast<uint32_t>(TRUST_E_SYSTEM_ERROR);
    answer->chainErrors = 0;
    answer->signer[0] = u'\0';
    answer->signerLength = 0;
    answer->codeSigning = false;
    answer->digestKind = PlatDigestKind::None;
    answer->digestSize = 0;
    if (g_trust.verify == nullptr) return;

    WINTRUST_FILE_INFO fileInfo;
    ZeroMemory(&fileInfo, sizeof(fileInfo));
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = Wide(path);
    fileInfo.hFile = file;

    WINTRUST_DATA trust;
    ZeroMemory(&trust, sizeof(trust));
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    // Revocation from what the machine already holds: an offline start is not
    // held up, and a revocation the system knows of is reported.
    trust.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    answer->result = static_cast<uint32_t>(g_trust.verify(nullptr, &action, &trust));

    // The signer is readable even when the chain was refused.
    if (trust.hWVTStateData != nullptr) {
        CRYPT_PROVIDER_DATA* provider = g_trust.providerData(trust.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signerInfo =
            provider != nullptr ? g_trust.signerFromChain(provider, 0, FALSE, 0) : nullptr;
        if (signerInfo != nullptr && signerInfo->pChainContext != nullptr) {
            answer->chainErrors = signerInfo->pChainContext->TrustStatus.dwErrorStatus;
        }
        if (provider != nullptr) ReadSignedDigest(provider, answer);
        if (signerInfo != nullptr && signerInfo->csCertChain > 0 && signerInfo->pasCertChain != nullptr &&
            signerInfo->pasCertChain[0].pCert != nullptr) {
            // A name that does not fit stays empty: a cut name could pass as another publisher.
            PCCERT_CONTEXT certificate = signerInfo->pasCertChain[0].pCert;
            answer->codeSigning = NamesCodeSigning(certificate);
            const DWORD needed =
                g_trust.nameString(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
            if (needed > 1 && needed <= PLAT_SIGNER_CAPACITY) {
                const DWORD copied = g_trust.nameString(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                                        Wide(answer->signer), needed);
                if (copied == needed) {
                    answer->signerLength = needed - 1;
                } else {
                    answer->signer[0] = u'\0';
                }
            }
        }
    }

    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    g_trust.verify(nullptr, &action, &trust);
}
