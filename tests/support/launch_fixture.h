// Whole runs of the launch sequence over the simulator: a packaged file
// built natively (a synthetic launcher image, vorlane-pack, the native
// stand-in runtime packed as "VorlaneStub.dll"), the controls that stand in
// for Windows, and what a run left behind: its exit code, the message boxes,
// whether the runtime was called and with what, leaks, and what the library
// held when it was checked and loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "launcher/build_config.h"
#include "platform/sim_control.h"

// The instance handle every run passes; the runtime records it.
extern const PlatModule LAUNCH_INSTANCE;

enum class RuntimeKind {
    Recording,  // exports VorlaneInit, records its arguments, returns 77
    NoExport,   // loads, but has no VorlaneInit
};

struct LaunchPackage {
    std::string path;               // native path of the packaged file
    std::vector<uint8_t> runtime;   // the bytes packed as "VorlaneStub.dll"
    std::vector<uint8_t> payload;   // the bytes packed as "vorlane.bin"
    uint64_t archiveStart = 0;      // offset of the 7z start header
    uint64_t payloadOffset = 0;     // where the payload lies: archiveStart + 32
    std::string imagePath;          // the launcher image alone (nothing appended)
};

// Packs a launcher image, a payload of payloadSize pattern bytes and the
// stand-in runtime (stripped when strip is at hand) into folder/name.
// binaryDir is the build folder holding tools/ and tests/runtimes/.
bool BuildLaunchPackage(const std::string& binaryDir, const std::string& folder, const std::string& name,
                        RuntimeKind kind, size_t payloadSize, LaunchPackage* out, std::string* error);

// A copy of the package with one byte changed (XOR mask); false when it cannot be written.
bool WriteFlippedCopy(const LaunchPackage& package, size_t offset, const std::string& path);

// One injected fault: call nth (1-based; 0 = every call) of op, optionally
// only calls whose path contains pathPart.
struct LaunchFault {
    PlatOp op;
    uint64_t nth;
    FaultAction action;
    std::u16string pathPart;
};

// Consulted for every platform call no rule matched: op, path, the call's
// 1-based index among calls of op in this run.
using LaunchDecider = std::function<FaultAction(PlatOp op, const char16_t* path, uint64_t nth)>;

struct LaunchSetup {
    std::u16string modulePath;                 // GetModuleFileName's answer
    bool modulePathSet = true;                 // false: GetModuleFileName fails
    std::u16string localAppData;               // SHGetFolderPath's answer
    int32_t localAppDataResult = 0;            // non-zero: SHGetFolderPath fails with it
    std::u16string commandLine = u"app.exe";
    std::optional<std::u16string> setting4 = std::u16string(u"FALSE");  // nullopt: not in the string table
    std::optional<std::u16string> setting5 = std::u16string(u"NO");
    std::optional<std::u16string> setting6 = std::u16string(u"Y");
    std::optional<std::u16string> publisher = std::u16string(VORLANE_PUBLISHER);  // string 7
    std::optional<std::u16string> pin;         // string 8; PinTextOf gives a library's
    uint32_t trust = PLAT_TRUST_OK;            // the trust services' answer
    // The signed digest the trust services report for every file (empty: each
    // file's own): the same code whatever its other bytes, as when it is signed apart.
    std::vector<uint8_t> trustDigest;
    std::u16string signer = u"Vorlane";
    std::vector<LaunchFault> faults;
    // Sleep calls reach the rules and the decider too (to let a holder go
    // mid-wait); whatever they answer, the run never waits for real.
    LaunchDecider decide;
    // What the library must hold when it is checked and when it is loaded.
    const std::vector<uint8_t>* expectedLibrary = nullptr;
    std::string recordPath;                    // where the runtime writes its record (native)
    // Another process has the file this names mapped as an image (PosixShareImage), from the run's start.
    std::u16string sharedImage;
};

struct LaunchResult {
    int exitCode = 0;
    std::vector<PosixMessageBox> boxes;
    bool runtimeCalled = false;
    std::map<std::string, std::string> record;  // the runtime's "key=value" lines
    // What stayed after RunLauncher compared with before it.
    long handlesLeaked = 0;
    long heapLeaked = 0;
    long localLeaked = 0;
    uint64_t calls[static_cast<int>(PlatOp::Count)] = {};
    uint64_t faultsFired = 0;
    uint64_t sleepRequested = 0;  // milliseconds the run asked to wait (never waited here)
    // The trust check was asked; it ran unfaulted and answered OK for the
    // expected signer; and, on top of that, the file it checked held the
    // expected library.
    bool trustConsulted = false;
    bool trustAnsweredOk = false;
    bool trustPassed = false;
    // Loads that went ahead, and whether each found the expected library.
    int loads = 0;
    bool loadsSawExpected = true;
    std::vector<uint8_t> lastLoaded;  // what the last load that went ahead found at the library path

    std::vector<std::u16string> Messages() const;
    uint64_t Calls(PlatOp op) const { return calls[static_cast<int>(op)]; }
};

// The pin a packer writes for these library bytes, as the simulator digests them.
std::u16string PinTextOf(const std::vector<uint8_t>& library);

// Resets the controls, applies setup, runs RunLauncher(instance), collects the
// result and resets the controls again.
LaunchResult RunLaunch(const LaunchSetup& setup, PlatModule instance = LAUNCH_INSTANCE);

// During a run: how many stack frames stood from RunLaunch outwards when it
// called RunLauncher. A backtrace taken inside the run, cut to its first
// (depth - LaunchOuterFrames() + 1) frames, names the call path inside the
// launcher whatever the test's own frames are.
int LaunchOuterFrames();

// A temporary folder for runs that create and remove many cache trees: in
// memory (/dev/shm) where the machine has it, else under /tmp, with a short
// name so deep trees and long paths keep their room. Removed with everything
// in it, links removed as links.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    bool Valid() const { return !root_.empty(); }
    const std::string& Native() const { return root_; }
    std::string Native(const std::string& relative) const { return root_ + "/" + relative; }

private:
    std::string root_;
};

// A package built once per process and shared by the suites that only read
// it (one per name; binaryDir as for BuildLaunchPackage); null, with the reason
// in *error, when it cannot be built.
const LaunchPackage* SharedLaunchPackage(const std::string& binaryDir, const std::string& name, RuntimeKind kind,
                                         size_t payloadSize, std::string* error);

// The runtime cache paths below a local app data folder (native form).
std::string RuntimeRootOf(const std::string& appData);
std::string RuntimeDirOf(const std::string& appData);
std::string LibraryOf(const std::string& appData);

// Whether anything stands at a native path (links not followed).
bool PathExists(const std::string& path);
// Everything below a native folder, links not followed: each path relative to
// it ("a/b") with its kind and identity, and for a file its size and last
// change, so that two listings differ when anything was created, removed,
// replaced or written.
std::map<std::string, std::string> TreeBelow(const std::string& path);
// Creates a folder and its parents (path may be longer than one syscall allows per component).
bool MakeFolders(const std::string& path);
