// The module path over Win32 (see module_path.h).
#include "platform/module_path.h"

#include <windows.h>

#include <vector>

bool ModulePathOf(const std::u16string& argument, std::u16string* path, std::string* why) {
    const auto* in = reinterpret_cast<const wchar_t*>(argument.c_str());
    const DWORD needed = GetFullPathNameW(in, 0, nullptr, nullptr);
    if (needed == 0) {
        *why = "not a valid path (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD length = GetFullPathNameW(in, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size()) {
        *why = "not a valid path";
        return false;
    }
    path->assign(reinterpret_cast<const char16_t*>(buffer.data()), length);
    return true;
}
