// The platform operations over Win32: each one is the call it is named after.
// char16_t and wchar_t are the same UTF-16 units on Windows; the casts between
// them stay inside this file.
#include "platform/platform.h"

#include <windows.h>

#include <cstring>

#include <commctrl.h>
#include <shlobj.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");
static_assert(sizeof(HANDLE) == sizeof(PlatFile), "handles must fit");

namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

void CopyFindData(const WIN32_FIND_DATAW& found, PlatFindData* data) {
    data->attributes = found.dwFileAttributes;
    size_t i = 0;
    for (; i + 1 < PLAT_FIND_NAME_CAPACITY && found.cFileName[i] != L'\0'; ++i) {
        data->name[i] = static_cast<char16_t>(found.cFileName[i]);
    }
    data->name[i] = u'\0';
}

}  // namespace

uint32_t PlatGetLastError() { return GetLastError(); }
void PlatSetLastError(uint32_t code) { SetLastError(code); }

void* PlatHeapAlloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void PlatHeapFree(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// Looked up at run time: Vista and an unpatched Windows 7 lack the call, and a
// static import would keep the launcher from starting there at all.
bool PlatSetDefaultDllDirectories(uint32_t flags) {
    using SetDirsFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (proc == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    SetDirsFn setDirs = nullptr;
    static_assert(sizeof(setDirs) == sizeof(proc), "function pointers differ in size");
    memcpy(&setDirs, &proc, sizeof(proc));
    return setDirs(flags) != FALSE;
}

void PlatInitCommonControls() { InitCommonControls(); }

uint32_t PlatGetModuleFileName(char16_t* buffer, uint32_t capacity) {
    return GetModuleFileNameW(nullptr, Wide(buffer), capacity);
}

PlatFile PlatCreateFile(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                        uint32_t attributes) {
    return CreateFileW(Wide(path), access, share, nullptr, disposition, attributes, nullptr);
}

bool PlatReadFile(PlatFile file, void* buffer, uint32_t size, uint32_t* read) {
    DWORD done = 0;
    const BOOL ok = ReadFile(file, buffer, size, &done, nullptr);
    if (read != nullptr) *read = done;
    return ok != FALSE;
}

bool PlatWriteFile(PlatFile file, const void* buffer, uint32_t size, uint32_t* written) {
    DWORD done = 0;
    const BOOL ok = WriteFile(file, buffer, size, &done, nullptr);
    if (written != nullptr) *written = done;
    return ok != FALSE;
}

uint32_t PlatSetFilePointer(PlatFile file, int32_t distanceLow, int32_t* distanceHigh, uint32_t method) {
    LONG high = distanceHigh != nullptr ? *distanceHigh : 0;
    const DWORD low = SetFilePointer(file, distanceLow, distanceHigh != nullptr ? &high : nullptr, method);
    if (distanceHigh != nullptr) *distanceHigh = high;
    return low;
}

bool PlatGetFileSizeEx(PlatFile file, uint64_t* size) {
    LARGE_INTEGER value;
    value.QuadPart = 0;
    const BOOL ok = GetFileSizeEx(file, &value);
    if (size != nullptr) *size = ok != FALSE ? static_cast<uint64_t>(value.QuadPart) : 0;
    return ok != FALSE;
}

bool PlatCloseHandle(PlatFile file) { return CloseHandle(file) != FALSE; }

uint32_t PlatGetFileAttributes(const char16_t* path) { return GetFileAttributesW(Wide(path)); }

bool PlatSetFileAttributes(const char16_t* path, uint32_t attributes) {
    return SetFileAttributesW(Wide(path), attributes) != FALSE;
}

bool PlatDeleteFile(const char16_t* path) { return DeleteFileW(Wide(path)) != FALSE; }

bool PlatCreateDirectory(const char16_t* path) { return CreateDirectoryW(Wide(path), nullptr) != FALSE; }

bool PlatRemoveDirectory(const char16_t* path) { return RemoveDirectoryW(Wide(path)) != FALSE; }

PlatFind PlatFindFirstFile(const char16_t* pattern, PlatFindData* data) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(Wide(pattern), &found);
    if (find != INVALID_HANDLE_VALUE) CopyFindData(found, data);
    return find;
}

bool PlatFindNextFile(PlatFind find, PlatFindData* data) {
    WIN32_FIND_DATAW found;
    if (FindNextFileW(find, &found) == FALSE) return false;
    CopyFindData(found, data);
    return true;
}

bool PlatFindClose(PlatFind find) { return FindClose(find) != FALSE; }

// The call needs MAX_PATH characters; a smaller buffer goes through a local one.
// A result other than S_OK (S_FALSE: the folder is missing) is no usable path.
int32_t PlatGetLocalAppDataFolder(char16_t* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return E_INVALIDARG;
    wchar_t local[MAX_PATH];
    local[0] = L'\0';
    const HRESULT result = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local);
    buffer[0] = u'\0';
    if (result != S_OK) return result < 0 ? result : E_FAIL;
    size_t length = 0;
    while (length < MAX_PATH && local[length] != L'\0') ++length;
    if (length >= capacity) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < length; ++i) buffer[i] = static_cast<char16_t>(local[i]);
    buffer[length] = u'\0';
    return S_OK;
}

PlatModule PlatLoadLibraryEx(const char16_t* path, uint32_t flags) {
    return LoadLibraryExW(Wide(path), nullptr, flags);
}

void* PlatGetProcAddress(PlatModule module, const char* name) {
    FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
    void* address = nullptr;
    static_assert(sizeof(address) == sizeof(proc), "function pointers differ in size");
    memcpy(&address, &proc, sizeof(proc));
    return address;
}

bool PlatFreeLibrary(PlatModule module) { return FreeLibrary(static_cast<HMODULE>(module)) != FALSE; }

const char16_t* PlatGetCommandLine() { return reinterpret_cast<const char16_t*>(GetCommandLineW()); }

char16_t** PlatCommandLineToArgv(const char16_t* commandLine, int* count) {
    return reinterpret_cast<char16_t**>(CommandLineToArgvW(Wide(commandLine), count));
}

void PlatLocalFree(void* block) { LocalFree(block); }

int PlatMessageBox(const char16_t* text, const char16_t* caption, uint32_t style) {
    return MessageBoxW(nullptr, Wide(text), Wide(caption), style);
}

int PlatLoadString(PlatModule instance, uint32_t id, char16_t* buffer, int capacity) {
    // A capacity of 0 would ask for a pointer into the resource instead of a copy.
    if (buffer == nullptr || capacity <= 0) return 0;
    return LoadStringW(static_cast<HINSTANCE>(instance), id, Wide(buffer), capacity);
}

namespace {

// The trust and certificate services, loaded at run time from the system
// directory: a static import would make the loader look for them beside the
// executable first, before any code of ours runs.
struct TrustServices {
    decltype(&WinVerifyTrust) verify = nullptr;
    decltype(&WTHelperProvDataFromStateData) providerData = nullptr;
    decltype(&WTHelperGetProvSignerFromChain) signerFromChain = nullptr;
    decltype(&CertGetNameStringW) nameString = nullptr;
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

uint32_t PlatLoadTrustServices() {
    if (g_trust.verify != nullptr) return ERROR_SUCCESS;
    HMODULE wintrust = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (wintrust == nullptr) return GetLastError();
    HMODULE crypt32 = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (crypt32 == nullptr) return GetLastError();
    TrustServices found;
    if (!LookUp(wintrust, "WinVerifyTrust", &found.verify) ||
        !LookUp(wintrust, "WTHelperProvDataFromStateData", &found.providerData) ||
        !LookUp(wintrust, "WTHelperGetProvSignerFromChain", &found.signerFromChain) ||
        !LookUp(crypt32, "CertGetNameStringW", &found.nameString)) {
        return ERROR_PROC_NOT_FOUND;
    }
    g_trust = found;  // the libraries stay loaded for the rest of the process
    return ERROR_SUCCESS;
}

bool PlatGetFileId(PlatFile file, PlatFileId* id) {
    ZeroMemory(id, sizeof(*id));
    FILE_ID_INFO full;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &full, sizeof(full)) != FALSE) {
        id->volume = full.VolumeSerialNumber;
        static_assert(sizeof(full.FileId) == sizeof(id->id), "128-bit file ids");
        memcpy(id->id, &full.FileId, sizeof(id->id));
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) == FALSE) return false;
    id->volume = info.dwVolumeSerialNumber;
    const uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    memcpy(id->id, &index, sizeof(index));
    return true;
}

void PlatVerifyTrust(PlatFile file, const char16_t* path, PlatTrustAnswer* answer) {
    answer->result = static_cast<uint32_t>(TRUST_E_SYSTEM_ERROR);
    answer->chainErrors = 0;
    answer->signer[0] = u'\0';
    answer->signerLength = 0;
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
        if (signerInfo != nullptr && signerInfo->csCertChain > 0 && signerInfo->pasCertChain != nullptr &&
            signerInfo->pasCertChain[0].pCert != nullptr) {
            // A name that does not fit stays empty: a cut name could pass as another publisher.
            PCCERT_CONTEXT certificate = signerInfo->pasCertChain[0].pCert;
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
