// The --trust-root check where the OS has no trust check of its own: the
// runtime library's signature chain verified by osslsigncode against the
// roots the packager gives. It runs through the tool host like every child of
// the tools: found on PATH but never in the current folder, within a time
// limit, stopped by an interruption, and its copy of the runtime in a work
// folder that an interruption removes.
#include <cstring>
#include <string>
#include <vector>

#include "tools/host/host.h"
#include "tools/inspect/inspect.h"

namespace {

// osslsigncode verifies in well under a second; a version that fetches
// revocation lists (no -ignore-cdp) may wait on the network, never this long.
constexpr uint32_t VERIFY_TIMEOUT_SECONDS = 300;
// A root file, or the system's bundle of them, is never this big.
constexpr uint64_t ROOTS_LIMIT = 16u << 20;
const char SYSTEM_ROOTS[] = "/etc/ssl/certs/ca-certificates.crt";

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

bool Append(const std::string& path, std::vector<uint8_t>* all, std::string* why) {
    std::vector<uint8_t> bytes;
    if (!ToolReadWhole(path, ROOTS_LIMIT, &bytes, why)) return false;
    all->insert(all->end(), bytes.begin(), bytes.end());
    all->push_back('\n');
    return true;
}

// The library and the two root files written into folder; false with why.
bool WriteInputs(const std::string& folder, const uint8_t* image, size_t size, const std::vector<std::string>& roots,
                 std::string* why) {
    std::vector<uint8_t> trusted;
    for (const std::string& root : roots) {
        if (!Append(root, &trusted, why)) return false;
    }
    // A timestamp's own chain may end at a root the system trusts.
    std::vector<uint8_t> stamps = trusted;
    std::string ignored;
    if (ToolExists(SYSTEM_ROOTS)) Append(SYSTEM_ROOTS, &stamps, &ignored);
    return ToolWriteNewFile(ToolJoin(folder, "VorlaneStub.dll"), image, size, why) &&
           ToolWriteNewFile(ToolJoin(folder, "roots.pem"), trusted.data(), trusted.size(), why) &&
           ToolWriteNewFile(ToolJoin(folder, "timestamp-roots.pem"), stamps.data(), stamps.size(), why);
}

}  // namespace

// osslsigncode verify on a copy of the library, with the given roots as the
// only trusted ones and, for a timestamp's own chain, the system's roots too.
// No network: revocation is left to what the signature carries, as the
// launcher leaves it to the cache.
bool VerifyWithOsslsigncode(const uint8_t* image, size_t size, const std::vector<std::string>& roots, bool* holds,
                            std::string* reason) {
    *holds = false;
    std::string tool;
    if (!ToolGetEnv("VORLANE_OSSLSIGNCODE", &tool) || tool.empty()) tool = "osslsigncode";
    ToolRunOptions limited;
    limited.timeoutSeconds = VERIFY_TIMEOUT_SECONDS;
    int status = 0;
    std::string probe;
    if (!ToolRunProgram({tool, "verify", "--help"}, &status, &probe, limited) ||
        probe.find("-CAfile") == std::string::npos) {
        *reason = ToolInterruption() != 0 ? std::string("interrupted")
                                          : tool + " cannot be run (install osslsigncode, or set VORLANE_OSSLSIGNCODE)";
        return false;
    }
    std::string folder;
    std::string why;
    if (!ToolMakeWorkFolder(&folder, &why)) {
        *reason = "cannot make a work folder for the chain check: " + why;
        return false;
    }
    bool judged = false;
    std::string text;
    if (!WriteInputs(folder, image, size, roots, &why)) {
        *reason = "cannot prepare the chain check: " + why;
    } else {
        std::vector<std::string> args{tool, "verify", "-CAfile", ToolJoin(folder, "roots.pem"), "-TSA-CAfile",
                                      ToolJoin(folder, "timestamp-roots.pem")};
        if (probe.find("-ignore-cdp") != std::string::npos) args.push_back("-ignore-cdp");
        args.insert(args.end(), {"-in", ToolJoin(folder, "VorlaneStub.dll")});
        const bool ran = ToolRunProgram(args, &status, &text, limited);
        if (ran && status == 0 && text.find("MISMATCH") == std::string::npos &&
            text.find("Signature verification: ok") != std::string::npos) {
            judged = true;
            *holds = true;
        } else if (!ran) {
            *reason = tool + " did not finish: " + text.substr(text.rfind('\n') + 1);
        } else if (status > 128 && status < 128 + 64) {
            // Ended by a signal (a crash): that judges nothing.
            *reason = tool + " ended by signal " + std::to_string(status - 128);
        } else if (text.find("certificate purpose") != std::string::npos) {
            // It stops at a signer certificate not meant for code signing and so
            // says nothing of the chain, which the trust services judge apart.
            *reason = tool + " judges no chain whose signing certificate is not for code signing";
        } else {
            *reason = Reason(text);
            judged = true;
        }
    }
    ToolRemoveWorkFolder(folder);
    return judged;
}
