// This machine's trust check over a library's bytes (see host.h).
#include "tools/host/host.h"

#include <windows.h>

#include "tools/host/host_internal.h"
#include "tools/host/win32_text.h"

namespace {

bool Fail(std::string* why, const std::string& what, DWORD error) {
    *why = ToolWinReason(what, error);
    return false;
}

bool MachineTrustOfImage(const uint8_t* image, size_t size, PlatTrustAnswer* answer, std::string* why) {
    if (!PlatLoadTrustServices()) return Fail(why, "the trust services do not load", PlatGetLastError());
    std::string folder;
    if (!ToolTemporaryFolder(&folder, why)) return false;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        path = ToolJoin(folder, "vorlane-check-" + std::to_string(GetCurrentProcessId()) + "-" +
                                    std::to_string(attempt) + ".dll");
        file = CreateFileW(ToolWidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) return Fail(why, "cannot write a temporary copy of the runtime", GetLastError());
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(size - done < (1u << 30) ? size - done : (1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(file, image + done, chunk, &wrote, nullptr) || wrote == 0) {
            const DWORD error = GetLastError();
            CloseHandle(file);
            return Fail(why, "cannot write a temporary copy of the runtime", error);
        }
        done += wrote;
    }
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    const std::wstring wide = ToolWidePath(path);
    PlatVerifyTrust(file, reinterpret_cast<const char16_t*>(wide.c_str()), answer);
    CloseHandle(file);
    return true;
}

}  // namespace

ToolTrustCheck ToolMachineTrust() { return MachineTrustOfImage; }
