// The tool host over Win32 (see host.h): arguments, the console, files by
// name, the temporary folder, with UTF-8 converted to UTF-16 at every call.
// Outputs, work folders and interruptions are in win32_output.cpp, children
// in win32_process.cpp.
//
// Whether a file exists, is a folder or is another one's twin is asked here
// with the Win32 calls, not std::filesystem: on Windows its status goes
// through the C runtime's _wstat64, which knows no path past the classic
// limit and takes the "\\?\" form's "?" for a wildcard.
#include "tools/host/host.h"

#include <windows.h>

#include <shellapi.h>

#include "tools/host/host_internal.h"
#include "tools/host/text.h"
#include "tools/host/win32_text.h"

namespace {

HANDLE HandleOf(const ToolFile* file) { return reinterpret_cast<HANDLE>(file->handle); }

bool Fail(std::string* why, const std::string& what, DWORD code) {
    if (why != nullptr) *why = ToolWinReason(what, code);
    return false;
}

// Text for the console: bytes that are not UTF-8 shown as U+FFFD, as a
// console shows what it cannot read.
std::wstring ForConsole(const std::string& text) {
    std::u16string wide;
    for (size_t at = 0; at < text.size();) {
        uint32_t c = 0xFFFD;
        if (!NextUtf8(text, &at, &c)) ++at;
        AppendUtf16(&wide, c);
    }
    return std::wstring(wide.begin(), wide.end());
}

// Writes to a standard handle: UTF-16 on a console (which shows any
// character, whatever the code page), the bytes otherwise.
void WriteStandard(DWORD which, const std::string& text) {
    const HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode) != FALSE) {
        const std::wstring wide = ForConsole(text);
        size_t done = 0;
        while (done < wide.size()) {
            size_t chunk = wide.size() - done < 8192 ? wide.size() - done : 8192;
            // Never split a surrogate pair between two writes.
            if (chunk == 8192 && wide[done + chunk - 1] >= 0xD800 && wide[done + chunk - 1] < 0xDC00) --chunk;
            DWORD written = 0;
            if (WriteConsoleW(out, wide.data() + done, static_cast<DWORD>(chunk), &written, nullptr) == FALSE ||
                written == 0) {
                return;
            }
            done += written;
        }
        return;
    }
    size_t done = 0;
    while (done < text.size()) {
        const size_t left = text.size() - done;
        DWORD written = 0;
        const DWORD chunk = left < (1u << 30) ? static_cast<DWORD>(left) : (1u << 30);
        if (WriteFile(out, text.data() + done, chunk, &written, nullptr) == FALSE || written == 0) return;
        done += written;
    }
    FlushFileBuffers(out);  // a pipe's reader sees it now; fails harmlessly on other handles
}

bool ReadFully(HANDLE file, uint8_t* buffer, size_t capacity, size_t* got, DWORD* error) {
    *got = 0;
    while (*got < capacity) {
        const size_t left = capacity - *got;
        const DWORD chunk = left < (1u << 30) ? static_cast<DWORD>(left) : (1u << 30);
        DWORD read = 0;
        if (ReadFile(file, buffer + *got, chunk, &read, nullptr) == FALSE) {
            *error = GetLastError();
            return false;
        }
        if (read == 0) break;
        *got += read;
    }
    return true;
}

// The volume and the file's index, through a handle that asks no access.
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE file = CreateFileW(ToolWidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, info) != FALSE;
    CloseHandle(file);
    return known;
}

}  // namespace

// ---- text -----------------------------------------------------------------------

std::wstring ToolWide(const std::string& text) {
    std::u16string wide;
    Utf16FromUtf8(text, &wide);
    return std::wstring(wide.begin(), wide.end());
}

std::string ToolUtf8(const wchar_t* text, size_t length) { return Utf8Of(std::u16string(text, text + length)); }

std::wstring ToolWidePath(const std::string& path) {
    std::wstring wide = ToolWide(path);
    if (wide.size() < MAX_PATH - 12 || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return wide;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return wide;
    full.resize(length);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string ToolWinReason(const std::string& what, unsigned long code) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = message != nullptr ? ToolUtf8(message, length) : std::string();
    if (message != nullptr) LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
    if (text.empty()) text = "error " + std::to_string(code);
    return what + ": " + text;
}

// ---- arguments, environment, terminal -------------------------------------------

// From the UTF-16 command line: argv holds the ANSI code page's lossy copy.
std::vector<std::string> ToolArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        for (int i = 0; i < count; ++i) arguments.push_back(ToolUtf8(wide[i], wcslen(wide[i])));
        LocalFree(wide);
        return arguments;
    }
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
    return arguments;
}

bool ToolGetEnv(const char* name, std::string* value) {
    const std::wstring wideName = ToolWide(name);
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (needed == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
        value->clear();
        return true;
    }
    std::wstring wide(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), &wide[0], needed);
    if (length >= needed) return false;  // changed in between
    *value = ToolUtf8(wide.data(), length);
    return true;
}

bool ToolStderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

void ToolWriteOut(const std::string& text) { WriteStandard(STD_OUTPUT_HANDLE, text); }
void ToolWriteErr(const std::string& text) { WriteStandard(STD_ERROR_HANDLE, text); }

// ---- files by name --------------------------------------------------------------

ToolFile::~ToolFile() {
    if (handle != -1 && handle != 0) CloseHandle(HandleOf(this));
}

bool ToolOpenRead(const std::string& path, ToolFile* file, uint64_t* size, std::string* why) {
    if (ToolIsFolder(path)) {
        if (why != nullptr) *why = path + " is a folder, not a file";
        return false;
    }
    const HANDLE opened = CreateFileW(ToolWidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return Fail(why, "cannot open " + path, GetLastError());
    LARGE_INTEGER length;
    if (GetFileType(opened) != FILE_TYPE_DISK || GetFileSizeEx(opened, &length) == FALSE) {
        CloseHandle(opened);
        if (why != nullptr) *why = path + " is not a regular file";
        return false;
    }
    if (file->handle != -1 && file->handle != 0) CloseHandle(HandleOf(file));
    file->handle = reinterpret_cast<intptr_t>(opened);
    if (size != nullptr) *size = static_cast<uint64_t>(length.QuadPart);
    return true;
}

bool ToolRead(ToolFile* file, uint8_t* buffer, size_t capacity, size_t* got, std::string* why) {
    DWORD error = 0;
    if (ReadFully(HandleOf(file), buffer, capacity, got, &error)) return true;
    return Fail(why, "cannot read a file", error);
}

bool ToolSameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia;
    BY_HANDLE_FILE_INFORMATION ib;
    if (!FileIdentity(a, &ia) || !FileIdentity(b, &ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

bool ToolIsFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(ToolWidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ToolExists(const std::string& path) {
    return GetFileAttributesW(ToolWidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::filesystem::path ToolFsPath(const std::string& path) { return std::filesystem::path(ToolWidePath(path)); }

// GetTempPathW's answer at whatever length it has (TEMP may be longer than the classic limit).
bool ToolTemporaryFolder(std::string* folder, std::string* why) {
    std::wstring path(MAX_PATH + 1, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetTempPathW(static_cast<DWORD>(path.size()), &path[0]);
        if (length == 0) break;
        if (length < path.size()) {
            *folder = ToolUtf8(path.data(), length);
            return true;
        }
        path.resize(length + 1);
    }
    if (why != nullptr) *why = ToolWinReason("cannot find the temporary folder", GetLastError());
    return false;
}

// Empty when the system will not say.
std::string ToolOwnFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::string();
        if (length < path.size()) return ToolFolderOf(ToolUtf8(path.data(), length));
        if (path.size() >= 32768) return std::string();
        path.resize(path.size() * 2);
    }
}
