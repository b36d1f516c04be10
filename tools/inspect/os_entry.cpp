// Everything of vorlane-inspect that differs between Linux and Windows: the
// entry point, the arguments' encoding and the output streams. How the
// inspected file's path becomes the module path the launcher would see is
// platform/module_path.h; the --trust-root check of the Linux build is in
// trust_roots.cpp.
#include <cstdio>
#include <new>
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

#ifdef _WIN32
std::u16string Argument(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
#else
std::u16string Argument(const char* text) { return Utf8ToUtf16(text); }
#endif

template <typename Char>
int Run(int argc, Char** argv) {
    // Nothing of ours throws; the standard library throws std::bad_alloc when
    // memory runs out, which ends the tool here with a message and exit 1
    // instead of an abort.
    try {
        std::vector<std::u16string> args;
        for (int i = 0; i < argc; ++i) args.push_back(Argument(argv[i]));
        const InspectIo io{WriteOut, WriteErr, ModulePathOf, PlatformChainCheck(), PlatformMachineTrust()};
        return InspectMain(args, io);
    } catch (const std::bad_alloc&) {
        static const char message[] = "vorlane-inspect: out of memory: no report\n";
        std::fwrite(message, 1, sizeof message - 1, stderr);
        return 1;
    }
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    // Byte-exact UTF-8 output: the same bytes on a console, in a pipe and in a file.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    return Run(argc, argv);
}
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
