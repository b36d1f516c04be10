// The module path over Win32 (see host.h).
#include "tools/host/host.h"

#include <windows.h>

#include <vector>

#include "tools/host/win32_text.h"

bool ModulePathOf(const std::string& argument, std::u16string* path, std::string* why) {
    const std::wstring in = ToolWide(argument);
    if (in.empty()) {
        *why = "not a valid path (not UTF-8)";
        return false;
    }
    const DWORD needed = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        *why = ToolWinReason("not a valid path", GetLastError());
        return false;
    }
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD length = GetFullPathNameW(in.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size()) {
        *why = "not a valid path";
        return false;
    }
    path->assign(buffer.data(), buffer.data() + length);
    return true;
}
