// vorlane-inspect: reads a packaged executable with the launcher's own archive
// code and says what the launcher would do with it, up to and including the
// installation of the runtime library. The functions its files share: the
// inspection (launch_stages.cpp), the byte readers, the reports and the command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/pin.h"
#include "platform/platform.h"
#include "tools/host/text.h"
#include "tools/inspect/findings.h"

// Verifies a runtime library's signature chain against trusted roots (PEM
// files, UTF-8 paths): false when the verifier cannot be run or cannot judge
// this chain (why says so); true with *holds, and when refused why says why.
using VerifyChain = bool (*)(const uint8_t* image, size_t size, const std::vector<std::string>& roots, bool* holds,
                             std::string* why);

// Asks this machine's own trust services about a runtime library's bytes, as
// the launcher asks about the installed file: false when they cannot be asked
// (why says so).
using MachineTrust = bool (*)(const uint8_t* image, size_t size, PlatTrustAnswer* answer, std::string* why);

struct InspectOptions {
    std::vector<std::string> trustRoots;  // PEM files, UTF-8 paths as given
    VerifyChain verify = nullptr;
    MachineTrust machineTrust = nullptr;  // used when no trust roots are given
};

// Inspects the packaged executable at path (the plain form the launcher would
// get from its module path). Fills report; never fails: every failure is a verdict.
void InspectPackage(const char16_t* path, const InspectOptions& options, InspectReport* report);

// The exit status a parent process sees for a launcher exit code.
int ExitStatusOf(int code);

// The report as text or as one JSON document, UTF-8, ending in a newline.
std::string ReportText(const InspectReport& report);
std::string ReportJson(const InspectReport& report);
// The verdict in one line: "ok", or the launcher's message, stage and exit code.
std::string VerdictText(const Verdict& verdict);

// The name a 7z method id is known by ("0x..." when unknown).
std::string MethodName(uint32_t methodId);

// A number in decimal (the tools' UTF-8 and hex: tools/host/text.h).
std::string Dec(uint64_t value);

// Reads the PE facts out of an image's bytes (only the first 4096 are needed
// for headers; exports are looked up when the whole image is given).
PeFacts ReadPeFacts(const uint8_t* bytes, size_t size, bool wholeImage);

// The launcher's string table and version block from its image's bytes (the
// file from its start; sections are found through the headers).
LauncherFacts ReadLauncherFacts(const uint8_t* bytes, size_t size);

// The simple display name of the signer of a certificate table (WIN_CERTIFICATE
// with PKCS#7 SignedData); false when it names none this tool can read. With
// codeSigning, whether the signer's certificate names code signing among its
// extended key usages (false when there is no such certificate or extension).
bool ReadSigner(const uint8_t* table, size_t size, std::u16string* signer, bool* codeSigning = nullptr);
// The digest a certificate table's signature signs, with its algorithm (the
// DigestInfo of its SpcIndirectDataContent): what a pin names. False when it
// holds none of the four algorithms pins use.
bool ReadSignedDigest(const uint8_t* table, size_t size, Pin* digest);

// The command: arguments as UTF-8, text written to stdout and stderr by the
// callbacks. Returns the process exit status (128 + the signal's number after
// an interruption).
struct InspectIo {
    void (*out)(const std::string& text);
    void (*err)(const std::string& text);
    // The path the launcher would see as its own module path for the argument;
    // false when it cannot be formed (the text then says why).
    bool (*resolve)(const std::string& argument, std::u16string* path, std::string* why);
    // Checks the runtime's chain against --trust-root files; nullptr where this build cannot.
    VerifyChain verify;
    // This machine's trust check (the Windows build); nullptr where there is none.
    MachineTrust machineTrust;
};
int InspectMain(const std::vector<std::string>& args, const InspectIo& io);

constexpr int STATUS_USAGE = 64;

// The chain check this build's tools hand to the inspection for --trust-root
// (chain_check.cpp): osslsigncode on Linux; none on Windows, which asks the machine instead.
VerifyChain PlatformChainCheck();
// The machine's own trust check where the build has one (Windows), else null.
MachineTrust PlatformMachineTrust();
// The VerifyChain where the OS has no trust check of its own: osslsigncode
// run through the tool host (trust_roots.cpp).
bool VerifyWithOsslsigncode(const uint8_t* image, size_t size, const std::vector<std::string>& roots, bool* holds,
                            std::string* why);
