// vorlane-pack: packs the prebuilt launcher, a payload and the runtime library
// into one executable, checks it with the launcher's own code before it takes
// its name, and signs what it is asked to. The records and functions its
// files share; each file does one step (see tools/pack/CMakeLists.txt).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/pin.h"
#include "tools/host/host.h"
#include "tools/host/text.h"
#include "tools/inspect/findings.h"
#include "tools/pack/package_writer.h"
#include "tools/pack/signing.h"

// ---- exit statuses: the one table (the usage text prints it) -------------------

constexpr int PACK_EXIT_WRITTEN = 0;      // the package was written
constexpr int PACK_EXIT_FAILED = 1;       // could not pack: inputs, I/O, signing, space
constexpr int PACK_EXIT_USAGE = 2;        // an unknown option or key, a missing or malformed value
constexpr int PACK_EXIT_REFUSED = 3;      // the check found the launcher would refuse the package; nothing written
constexpr int PACK_EXIT_SIGNAL_BASE = 128;  // + the signal's number: interrupted, nothing written

// Why a step stopped: the exit status and a message that says what to do.
struct Failure {
    int status = PACK_EXIT_WRITTEN;
    std::string message;
};
// Records the failure; returns false for the caller to return.
bool Fail(Failure* failure, int status, const std::string& message);
// When an interruption came: records it (128 + its number) and returns true.
bool Interrupted(Failure* failure);

// ---- options ----------------------------------------------------------------------

// A text option: given (possibly empty) or not.
struct GivenText {
    bool given = false;
    std::string text;
};

struct PackOptions {
    std::string launcher;  // empty: the one next to the tool or in the checkout's build
    std::string payload;
    std::string runtime;
    std::string output;
    std::string icon;
    std::string config;
    GivenText setting4, setting5, setting6, publisher;
    GivenText productName, companyName, fileDescription, copyright, originalFilename;
    GivenText fileVersion;  // as given; CheckOptions parses it into version
    GivenText signTimeout;  // as given; CheckOptions parses it into sign.timeoutSeconds
    uint16_t version[4] = {0, 0, 0, 0};
    SignSettings sign;
    std::vector<std::string> trustRoots;
    bool check = false;  // asked for explicitly (the check runs by default)
    bool noCheck = false;
    bool noPin = false;
    bool quiet = false;
    bool uncheckedRuntime = false;
    bool json = false;
    bool help = false;
    bool showVersion = false;
    std::vector<std::string> warnings;  // about the options themselves (an old spelling), shown once quiet is known
};

// The usage text, the exit statuses' table included.
std::string UsageText();
// The command line (args[0] is the program), over the --config file when one
// is named: keys are the long options' names, the command line overrides.
bool ReadOptions(const std::vector<std::string>& args, PackOptions* options, Failure* failure);
// Loads a config file into options (options_config.cpp).
bool LoadConfig(const std::string& path, PackOptions* options, Failure* failure);
// What the options say together: required ones present, texts the launcher
// can hold, a version it can write, one way to sign.
bool CheckOptions(PackOptions* options, Failure* failure);
// Whether the in-process check runs: by default, not with --no-check, not
// with --unchecked-runtime unless --check is given too.
bool CheckRuns(const PackOptions& options);

// ---- what the tool tells (console.cpp) -------------------------------------------

void SetQuiet(bool quiet);
// A progress line on stderr, "vorlane-pack: TEXT"; nothing with -q.
void Say(const std::string& text);
// "vorlane-pack: warning: TEXT"; nothing with -q.
void Warn(const std::string& text);
// A warning -q does not silence: the package may fail and nothing checked it.
void WarnLoudly(const std::string& text);
// An error or a refusal, always.
void Complain(const std::string& text);

// One step's progress: after a second, a percentage redrawn on one line of a
// terminal, or a plain line at every tenth elsewhere; nothing with -q.
struct ProgressLine {
    const char* what = "";
    uint64_t total = 0;
    int64_t startedMs = 0;
    int shownPercent = -1;  // -1 until something was shown
    bool open = false;      // a redrawn line waits for its end
};
void ProgressBegin(ProgressLine* line, const char* what, uint64_t total);
void ProgressAdvance(ProgressLine* line, uint64_t done);
void ProgressEnd(ProgressLine* line);

// ---- the inputs (inputs.cpp) -----------------------------------------------------

struct PackFiles {
    std::vector<uint8_t> launcher;
    std::vector<uint8_t> runtime;  // as it will be packed (signed first when asked)
    std::vector<uint8_t> icon;
    ToolFile payload;
    uint64_t payloadSize = 0;
    uint32_t cut = 0;  // where the launcher's image ends
};

// The launcher to pack when none is named: next to the tool, or the
// checkout's cross build seen from the native one.
bool FindLauncher(PackOptions* options, Failure* failure);
// Refuses an output that is any input (by file identity, whatever the spelling
// or link), an output folder that is missing, an output that is a folder.
bool CheckOutputPath(const PackOptions& options, Failure* failure);
// Reads the launcher, the runtime library and the icon, opens the payload,
// and checks what the launcher and the payload must be.
bool ReadInputs(const PackOptions& options, PackFiles* files, Failure* failure);
// Room for the output (twice with --sign-exe) in the output's folder.
bool CheckSpace(const PackOptions& options, const PackFiles& files, Failure* failure);
// Refuses, with PACK_EXIT_REFUSED, a package Windows would not start: about
// (estimate: before the launcher's resources are rewritten) or exactly size
// bytes, WINDOWS_START_LIMIT or more.
bool RefuseTooLarge(uint64_t size, bool estimate, Failure* failure);

// ---- the runtime library (runtime.cpp) --------------------------------------------

struct RuntimeInfo {
    PeFacts pe;               // its headers, signer and signed digest
    bool pinned = false;      // a pin is written
    Pin pin{};
    std::string pinText;      // "sha256:..."
    std::u16string publisher;  // what string 7 will say; empty: the launcher's own stays
    bool publisherFromSigner = false;
};

// Refuses what cannot be a runtime library at all (not a PE image, not a
// DLL), unless --unchecked-runtime.
bool CheckRuntimeInput(const PackOptions& options, const PackFiles& files, Failure* failure);
// Signs the runtime library into work (made when needed) when asked, and
// reads the result into files->runtime.
bool SignRuntime(const PackOptions& options, std::string* work, PackFiles* files, Failure* failure);
// The pin and the publisher: the signed digest checked against the bytes.
bool StudyRuntime(const PackOptions& options, const PackFiles& files, RuntimeInfo* info, Failure* failure);

// ---- the launcher's resources (launcher_job.cpp) ----------------------------------

// The launcher's image with the settings, publisher, pin, icon and version
// block written; the launcher as it is when nothing is to change.
bool RewriteLauncher(const PackOptions& options, const PackFiles& files, const RuntimeInfo& runtime,
                     std::vector<uint8_t>* image, Failure* failure);

// ---- the check (check.cpp) --------------------------------------------------------

// Before any byte is written: the launcher's verdict on this runtime library
// behind this image (signature, publisher, pin, machine, imports, export,
// settings), as the inspection gives it for a package holding them.
bool PredictVerdict(const PackOptions& options, const std::vector<uint8_t>& image, const PackFiles& files,
                    Failure* failure);
// The whole package at path through the launcher's own code: the verdict,
// with its notes said.
bool CheckPackage(const PackOptions& options, const std::string& path, Failure* failure);
// After --sign-exe: the signed package still opens as it did.
bool CheckSignedPackage(const PackOptions& options, const std::string& path, Failure* failure);

// ---- writing (write.cpp) ----------------------------------------------------------

// Writes the package into output, with progress and cancelled by an interruption.
bool WritePackageFile(const std::vector<uint8_t>& image, PackFiles* files, ToolOutput* output,
                      PackReport* report, Failure* failure);
// The SHA-256 and size of a file, read back; copied into copy on the way
// when it is not null.
bool HashFile(const std::string& path, ToolOutput* copy, uint8_t digest[32], uint64_t* size, Failure* failure);

// ---- the summary (summary.cpp) ----------------------------------------------------

struct PackSummary {
    std::string output;
    uint64_t size = 0;
    uint8_t sha256[32] = {};
    uint64_t payloadOffset = 0;
    uint64_t payloadSize = 0;
    std::string pin;  // empty: none
    bool hasPublisher = false;
    std::u16string publisher;
    bool checked = false;
    bool signedPackage = false;
};
// One JSON document and its newline.
std::string SummaryJson(const PackSummary& summary);

// ---- the whole (run.cpp) ----------------------------------------------------------

// The tool: the exit status.
int RunPack(const std::vector<std::string>& args);
