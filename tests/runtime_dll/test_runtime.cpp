// A stand-in runtime library for end-to-end tests. It records the eight
// arguments it receives and checks the payload in place: it reads the bytes
// at (offset, size) of the executable named by its second argument and writes
// their CRC-32 next to the arguments, into "<executable>.record.txt" (UTF-8).
// Its return value is deliberately non-zero: the launcher must ignore it.
// Built a second time with VORLANE_TEST_IMPORTS_WINHTTP: it then imports
// winhttp.dll, a library that is not a known system library, so a copy planted
// beside it would be found if the loader looked there. Built a third time with
// VORLANE_TEST_DELAY_LOADS: it delay-loads VorlaneMissing.dll, which no Windows
// has, and calls into it once its record is written.
#include <windows.h>
#ifdef VORLANE_TEST_IMPORTS_WINHTTP
#include <winhttp.h>
#endif
#ifdef VORLANE_TEST_DELAY_LOADS
extern "C" int VorlaneMissingCall(void);
#endif

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

uint32_t g_table[256];

void MakeTable() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        g_table[i] = c;
    }
}

std::string Utf8(const wchar_t* text) {
    if (text == nullptr) return "<null>";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

// Escapes so every value stays on one line.
std::string Line(const char* key, const std::string& value) {
    std::string out = std::string(key) + "=";
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else out += c;
    }
    return out + "\n";
}

bool RegionCrc(const wchar_t* path, uint64_t offset, uint64_t size, uint32_t* crc) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    bool ok = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
    uint32_t value = 0xFFFFFFFFu;
    static unsigned char buffer[65536];
    while (ok && size > 0) {
        const DWORD want = size < sizeof(buffer) ? static_cast<DWORD>(size) : static_cast<DWORD>(sizeof(buffer));
        DWORD got = 0;
        if (!ReadFile(file, buffer, want, &got, nullptr) || got != want) ok = false;
        for (DWORD i = 0; ok && i < got; ++i) value = g_table[(value ^ buffer[i]) & 0xFF] ^ (value >> 8);
        size -= got;
    }
    CloseHandle(file);
    *crc = ~value;
    return ok;
}

}  // namespace

extern "C" __declspec(dllexport) int VorlaneInit(HMODULE instance, const wchar_t* modulePath, const wchar_t* setting4,
                                                 const wchar_t* setting5, const wchar_t* firstArgument,
                                                 const wchar_t* argumentLine, uint64_t payloadOffset,
                                                 uint64_t payloadSize) {
    MakeTable();
    uint32_t crc = 0;
    const bool read = RegionCrc(modulePath, payloadOffset, payloadSize, &crc);

    wchar_t ownPath[4096];
    DWORD ownLength = GetModuleFileNameW(instance, ownPath, 4096);
    char hex[32];
    std::string record;
    snprintf(hex, sizeof hex, "%p", static_cast<void*>(instance));
    record += Line("instance", hex);
    record += Line("instance_is_exe", ownLength > 0 && lstrcmpiW(ownPath, modulePath) == 0 ? "1" : "0");
    record += Line("module_path", Utf8(modulePath));
    record += Line("setting4", Utf8(setting4));
    record += Line("setting5", Utf8(setting5));
    record += Line("first_argument", Utf8(firstArgument));
    record += Line("argument_line", Utf8(argumentLine));
    record += Line("payload_offset", std::to_string(payloadOffset));
    record += Line("payload_size", std::to_string(payloadSize));
    record += Line("payload_read", read ? "1" : "0");
    snprintf(hex, sizeof hex, "%08x", crc);
    record += Line("payload_crc", hex);
#ifdef VORLANE_TEST_IMPORTS_WINHTTP
    record += Line("winhttp", WinHttpCheckPlatform() ? "1" : "0");
#endif

    std::wstring out = std::wstring(modulePath) + L".record.txt";
    HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
        CloseHandle(file);
    }
#ifdef VORLANE_TEST_DELAY_LOADS
    return VorlaneMissingCall();
#else
    return 77;
#endif
}
