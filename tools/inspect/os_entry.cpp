// Everything of vorlane-inspect that differs between Linux and Windows: the
// entry point, the arguments' encoding and the output streams. How the
// inspected file's path becomes the module path the launcher would see is
// platform/module_path.h; the --trust-root check of the Linux build is in
// trust_roots.cpp.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/module_path.h"
#include "tools/inspect/inspect.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
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

int Run(const std::vector<std::u16string>& args) {
    const InspectIo io{WriteOut, WriteErr, ModulePathOf, PlatformChainCheck(), PlatformMachineTrust()};
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
