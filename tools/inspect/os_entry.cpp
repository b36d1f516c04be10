// Everything of vorlane-inspect that differs between Linux and Windows: the
// entry point, the arguments' encoding, the output streams and how the
// inspected file's path becomes the module path the launcher would see. The
// --trust-root check of the Linux build is in trust_roots.cpp, the Windows
// build's machine trust check in platform/machine_trust_win32.cpp.
#include <cstdio>
#include <cerrno>
#include <string>
#include <vector>

#include "tools/inspect/inspect.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/machine_trust.h"
#else
#include <unistd.h>

#include "platform/posix_common.h"
#endif

namespace {

void WriteOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void WriteErr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

#ifdef _WIN32

bool Resolve(const std::u16string& argument, std::u16string* path, std::string* why) {
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

#else

// The absolute path with "." and ".." resolved by name, as Windows reports a
// module path; links stay as they are.
std::string Absolute(const std::string& path) {
    std::string joined = path;
    if (path.empty() || path[0] != '/') {
        // Only a buffer too small is worth another try: a deleted current
        // folder (ENOENT) or no permission never gets better.
        std::vector<char> cwd(4096);
        while (getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE || cwd.size() >= (1u << 20)) return path;
            cwd.resize(cwd.size() * 2);
        }
        joined = std::string(cwd.data()) + "/" + path;
    }
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= joined.size()) {
        size_t next = joined.find('/', at);
        if (next == std::string::npos) next = joined.size();
        const std::string part = joined.substr(at, next - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = next + 1;
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

// The "Z:\..." form the platform layer reads back to the same Linux path.
bool Resolve(const std::u16string& argument, std::u16string* path, std::string*) {
    *path = PosixWidePath(Absolute(Utf16ToUtf8(argument)));
    return true;
}

#endif

int Run(const std::vector<std::u16string>& args) {
#ifdef _WIN32
    const InspectIo io{WriteOut, WriteErr, Resolve, nullptr, MachineTrustOfImage};
#else
    const InspectIo io{WriteOut, WriteErr, Resolve, VerifyWithOsslsigncode, nullptr};
#endif
    return InspectMain(args, io);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    // Byte-exact UTF-8 output: the same bytes on a console, in a pipe and in a file.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return Run(args);
}
#else
int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i) args.push_back(Utf8ToUtf16(argv[i]));
    return Run(args);
}
#endif
