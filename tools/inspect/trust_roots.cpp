// The --trust-root check of the Linux build: the runtime library's signature
// chain verified by osslsigncode against the roots the packager gives.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix_common.h"
#include "tools/inspect/inspect.h"

namespace {

// Runs a program, its output (both streams) into *output; its exit status, or -1.
int RunProgram(const std::vector<std::string>& args, std::string* output) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    char chunk[4096];
    ssize_t n = 0;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) output->append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// osslsigncode's verdict in one line: what failed, without OpenSSL's error stack.
std::string Reason(const std::string& output) {
    if (output.find("MISMATCH") != std::string::npos) {
        return "message digest mismatch: the file's digest differs from the signed one";
    }
    for (const char* marker : {"Verify error: ", "Error: "}) {
        const size_t at = output.find(marker);
        if (at != std::string::npos) {
            const size_t start = at + std::strlen(marker);
            return output.substr(start, output.find('\n', start) - start);
        }
    }
    return "osslsigncode verify failed";
}

std::string Env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != 0 ? value : fallback;
}

}  // namespace

// The chain check of --trust-root: osslsigncode verify on a copy of the
// library, with the given roots as the only trusted ones and, for a
// timestamp's own chain, the system's roots too. No network: revocation is
// left to what the signature carries, as the launcher leaves it to the cache.
int VerifyWithOsslsigncode(const uint8_t* image, size_t size, const std::vector<std::u16string>& roots,
                           std::string* output) {
    const std::string tool = Env("VORLANE_OSSLSIGNCODE", "osslsigncode");
    std::string probe;
    if (RunProgram({tool, "verify", "--help"}, &probe) < 0 || probe.find("-CAfile") == std::string::npos) {
        *output = tool + " cannot be run (install osslsigncode, or set VORLANE_OSSLSIGNCODE)";
        return -1;
    }
    std::string folderTemplate = Env("TMPDIR", "/tmp") + "/vorlane-inspect-XXXXXX";
    if (mkdtemp(&folderTemplate[0]) == nullptr) {
        *output = "cannot make a temporary folder";
        return -1;
    }
    const std::string folder = folderTemplate;
    const std::string library = folder + "/VorlaneStub.dll";
    const std::string trusted = folder + "/roots.pem";
    const std::string stamps = folder + "/timestamp-roots.pem";
    bool written = false;
    {
        std::ofstream lib(library, std::ios::binary);
        lib.write(reinterpret_cast<const char*>(image), static_cast<std::streamsize>(size));
        std::ofstream all(trusted, std::ios::binary);
        for (const std::u16string& root : roots) {
            std::ifstream in(Utf16ToUtf8(root), std::ios::binary);
            all << in.rdbuf() << "\n";
        }
        std::ofstream withSystem(stamps, std::ios::binary);
        std::ifstream mine(trusted, std::ios::binary);
        withSystem << mine.rdbuf();
        std::ifstream system("/etc/ssl/certs/ca-certificates.crt", std::ios::binary);
        if (system) withSystem << system.rdbuf();
        written = lib.good() && all.good();
    }
    int result = -1;
    if (written) {
        std::vector<std::string> args{tool, "verify", "-CAfile", trusted, "-TSA-CAfile", stamps};
        if (probe.find("-ignore-cdp") != std::string::npos) args.push_back("-ignore-cdp");
        args.insert(args.end(), {"-in", library});
        std::string text;
        const int status = RunProgram(args, &text);
        if (status == 0 && text.find("MISMATCH") == std::string::npos &&
            text.find("Signature verification: ok") != std::string::npos) {
            result = 0;
        } else if (text.find("certificate purpose") != std::string::npos) {
            // It stops at a signer certificate not meant for code signing and so
            // says nothing of the chain, which the trust services judge apart.
            *output = tool + " judges no chain whose signing certificate is not for code signing";
        } else if (status >= 0) {
            *output = Reason(text);
            result = 1;
        } else {
            *output = tool + " cannot be run";
        }
    } else {
        *output = "cannot write temporary files in " + folder;
    }
    for (const std::string& file : {library, trusted, stamps}) unlink(file.c_str());
    rmdir(folder.c_str());
    return result;
}
