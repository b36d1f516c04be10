#include "platform/machine_trust.h"

#include <windows.h>

namespace {

std::string ErrorText(const char* what, DWORD error) {
    return std::string(what) + " (error " + std::to_string(error) + ")";
}

}  // namespace

bool MachineTrustOfImage(const uint8_t* image, size_t size, PlatTrustAnswer* answer, std::string* why) {
    const uint32_t loaded = PlatLoadTrustServices();
    if (loaded != 0) {
        *why = ErrorText("the trust services do not load", loaded);
        return false;
    }
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        *why = ErrorText("no temporary folder", GetLastError());
        return false;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    std::wstring path;
    for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        path = std::wstring(folder, length) + L"vorlane-check-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(attempt) + L".dll";
        file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        *why = ErrorText("cannot write a temporary copy of the runtime", GetLastError());
        return false;
    }
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(size - done < (1u << 30) ? size - done : (1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(file, image + done, chunk, &wrote, nullptr) || wrote == 0) {
            *why = ErrorText("cannot write a temporary copy of the runtime", GetLastError());
            CloseHandle(file);
            return false;
        }
        done += wrote;
    }
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    PlatVerifyTrust(file, reinterpret_cast<const char16_t*>(path.c_str()), answer);
    CloseHandle(file);
    return true;
}
