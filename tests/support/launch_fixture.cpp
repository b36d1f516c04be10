#include "tests/support/launch_fixture.h"

#include <dirent.h>
#include <execinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <utility>

#include "archive/pin.h"
#include "launcher/build_config.h"
#include "launcher/integrity.h"
#include "launcher/launch.h"
#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"

const PlatModule LAUNCH_INSTANCE = reinterpret_cast<PlatModule>(static_cast<uintptr_t>(0x5EED0000u));

namespace {

struct HookState {
    const LaunchSetup* setup = nullptr;
    uint64_t calls[static_cast<int>(PlatOp::Count)] = {};
    uint64_t fired = 0;
    bool trustConsulted = false;
    bool trustAnsweredOk = false;
    bool trustPassed = false;
    int loads = 0;
    bool loadsSawExpected = true;
    std::vector<uint8_t> lastLoaded;
};

// Frames from RunLaunch outwards while RunLauncher runs (0 outside a run).
int g_outerFrames = 0;

std::vector<uint8_t> ContentAt(const char16_t* path) {
    if (path == nullptr) return {};
    return ReadBytes(PosixNativePath(path));
}

bool HoldsExpected(const char16_t* path, const std::vector<uint8_t>* expected) {
    return expected == nullptr || (path != nullptr && ContentAt(path) == *expected);
}

FaultAction Observe(PlatOp op, const char16_t* path, void* context) {
    auto* state = static_cast<HookState*>(context);
    const int i = static_cast<int>(op);
    if (i < 0 || i >= static_cast<int>(PlatOp::Count)) return FaultAction{};
    const uint64_t nth = ++state->calls[i];
    const LaunchSetup& setup = *state->setup;

    FaultAction action{};
    bool matched = false;
    for (const LaunchFault& rule : setup.faults) {
        if (rule.op != op && rule.op != PlatOp::Count) continue;
        if (rule.nth != 0 && rule.nth != nth) continue;
        if (!rule.pathPart.empty() &&
            (path == nullptr || std::u16string(path).find(rule.pathPart) == std::u16string::npos)) {
            continue;
        }
        action = rule.action;
        matched = true;
        break;
    }
    if (!matched && setup.decide) action = setup.decide(op, path, nth);
    // The back-off's waits are counted, never waited: a run's outcome does not depend on them here.
    if (op == PlatOp::Sleep) return action.kind == FaultAction::Pass ? FaultAction{FaultAction::Short, 0, 0} : action;
    if (action.kind != FaultAction::Pass) ++state->fired;

    // What the checks and the loader are about to see, judged before they see it.
    if (op == PlatOp::VerifyTrust) {
        state->trustConsulted = true;
        state->trustAnsweredOk =
            action.kind == FaultAction::Pass && setup.trust == PLAT_TRUST_OK && setup.publisher &&
            setup.signer == *setup.publisher;
        state->trustPassed = state->trustAnsweredOk && HoldsExpected(path, setup.expectedLibrary);
    }
    if (op == PlatOp::LoadLibraryEx && action.kind == FaultAction::Pass) {
        ++state->loads;
        state->lastLoaded = ContentAt(path);
        if (setup.expectedLibrary != nullptr && state->lastLoaded != *setup.expectedLibrary) {
            state->loadsSawExpected = false;
        }
    }
    return action;
}

std::map<std::string, std::string> ReadRecord(const std::string& path, bool* present) {
    std::map<std::string, std::string> record;
    std::ifstream in(path);
    *present = static_cast<bool>(in);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) record[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return record;
}

void ApplyControls(const LaunchSetup& setup) {
    PosixResetControls();
    PosixSetModulePath(setup.modulePathSet ? setup.modulePath.c_str() : nullptr);
    PosixSetLocalAppData(setup.localAppData.c_str(), setup.localAppDataResult);
    PosixSetCommandLine(setup.commandLine.c_str());
    PosixClearStrings();
    if (setup.setting4) PosixSetString(4, setup.setting4->c_str());
    if (setup.setting5) PosixSetString(5, setup.setting5->c_str());
    if (setup.setting6) PosixSetString(6, setup.setting6->c_str());
    if (setup.publisher) PosixSetString(7, setup.publisher->c_str());
    if (setup.pin) PosixSetString(PIN_STRING_ID, setup.pin->c_str());
    PosixSetTrust(setup.trust, setup.signer);
    if (!setup.sharedImage.empty()) PosixShareImage(setup.sharedImage.c_str());
    if (!setup.trustDigest.empty()) PosixSetTrustDigest(setup.trustDigest);
    PosixClearMessageBoxes();
}

}  // namespace

std::vector<std::u16string> LaunchResult::Messages() const {
    std::vector<std::u16string> texts;
    for (const PosixMessageBox& box : boxes) texts.push_back(box.text);
    return texts;
}

std::u16string PinTextOf(const std::vector<uint8_t>& library) {
    const std::vector<uint8_t> digest = PosixDigestOf(library);
    Pin pin{PlatDigestKind::Sha256, 32, {}};
    std::copy(digest.begin(), digest.end(), pin.digest);
    char16_t text[160];
    return FormatPin(pin, text, 160) ? std::u16string(text) : std::u16string();
}

LaunchResult RunLaunch(const LaunchSetup& setup, PlatModule instance) {
    LaunchResult result;
    ApplyControls(setup);
    if (!setup.recordPath.empty()) {
        std::remove(setup.recordPath.c_str());
        setenv("VORLANE_TEST_RECORD", setup.recordPath.c_str(), 1);
    } else {
        unsetenv("VORLANE_TEST_RECORD");
    }

    HookState state;
    state.setup = &setup;
    const long handlesBefore = static_cast<long>(PosixOpenHandleCount());
    const long heapBefore = static_cast<long>(PosixLiveHeapBlocks());
    const long localBefore = static_cast<long>(PosixLiveLocalBlocks());
    PosixSetFaultHook(&Observe, &state);

    void* frames[256];
    g_outerFrames = backtrace(frames, 256);
    const uint64_t sleptBefore = PosixSleepRequested();
    result.exitCode = RunLauncher(instance);
    result.sleepRequested = PosixSleepRequested() - sleptBefore;
    g_outerFrames = 0;

    PosixSetFaultHook(nullptr, nullptr);
    result.handlesLeaked = static_cast<long>(PosixOpenHandleCount()) - handlesBefore;
    result.heapLeaked = static_cast<long>(PosixLiveHeapBlocks()) - heapBefore;
    result.localLeaked = static_cast<long>(PosixLiveLocalBlocks()) - localBefore;
    result.boxes = PosixMessageBoxes();
    for (int i = 0; i < static_cast<int>(PlatOp::Count); ++i) result.calls[i] = state.calls[i];
    result.faultsFired = state.fired;
    result.trustConsulted = state.trustConsulted;
    result.trustAnsweredOk = state.trustAnsweredOk;
    result.trustPassed = state.trustPassed;
    result.loads = state.loads;
    result.loadsSawExpected = state.loadsSawExpected;
    result.lastLoaded = std::move(state.lastLoaded);
    if (!setup.recordPath.empty()) result.record = ReadRecord(setup.recordPath, &result.runtimeCalled);

    PosixResetControls();
    return result;
}

bool BuildLaunchPackage(const std::string& binaryDir, const std::string& folder, const std::string& name,
                        RuntimeKind kind, size_t payloadSize, LaunchPackage* out, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    if (!MakeFolders(folder)) return fail("cannot create " + folder);
    const std::string base = folder + "/" + name;

    out->imagePath = base + ".image";
    if (!WriteBytes(out->imagePath, MakeLauncherImage())) return fail("cannot write the launcher image");
    out->payload = PatternBytes(payloadSize, 0x51);
    if (!WriteBytes(base + ".payload", out->payload)) return fail("cannot write the payload");

    // A stripped runtime keeps every packed, decoded and written byte count small.
    const std::string source = binaryDir + "/tests/runtimes/" +
                               (kind == RuntimeKind::Recording ? "libnative_runtime.so" : "libnative_runtime_no_export.so");
    const std::string runtime = base + ".runtime";
    std::string output;
    if (RunProgram({"strip", "--strip-unneeded", "-o", runtime, source}, "", &output) != 0) {
        const std::vector<uint8_t> bytes = ReadBytes(source);
        if (bytes.empty() || !WriteBytes(runtime, bytes)) return fail("no runtime at " + source);
    }
    out->runtime = ReadBytes(runtime);
    if (out->runtime.empty()) return fail("empty runtime " + runtime);

    out->path = base;
    if (RunPackTool(binaryDir, out->imagePath, base + ".payload", runtime, base, &output) != 0) {
        return fail("vorlane-pack failed: " + output);
    }
    const std::vector<uint8_t> packed = ReadBytes(base);
    const size_t start = FindStartHeaderIn(packed);
    if (start == SIZE_MAX) return fail("no start header in " + base);
    out->archiveStart = start;
    out->payloadOffset = start + 32;
    if (packed.size() < out->payloadOffset + payloadSize ||
        !std::equal(out->payload.begin(), out->payload.end(), packed.begin() + static_cast<long>(out->payloadOffset))) {
        return fail("the payload does not lie at the archive start + 32");
    }
    return true;
}

bool WriteFlippedCopy(const LaunchPackage& package, size_t offset, const std::string& path) {
    std::vector<uint8_t> bytes = ReadBytes(package.path);
    if (offset >= bytes.size()) return false;
    bytes[offset] ^= 0x5A;
    return WriteBytes(path, bytes);
}

const LaunchPackage* SharedLaunchPackage(const std::string& binaryDir, const std::string& name, RuntimeKind kind,
                                         size_t payloadSize, std::string* error) {
    struct Built {
        std::unique_ptr<LaunchPackage> package;
        std::string error;
    };
    static ScratchFolder folder;  // goes, with every package in it, when the process ends
    static std::map<std::string, Built> built;
    auto found = built.find(name);
    if (found == built.end()) {
        Built entry{std::make_unique<LaunchPackage>(), std::string()};
        if (!BuildLaunchPackage(binaryDir, folder.Native("pkg"), name, kind, payloadSize, entry.package.get(),
                                &entry.error)) {
            entry.package.reset();
        }
        found = built.emplace(name, std::move(entry)).first;
    }
    *error = found->second.error;
    return found->second.package.get();
}

ScratchFolder::ScratchFolder() {
    for (const char* base : {"/dev/shm", "/tmp"}) {
        std::string pattern = std::string(base) + "/vl-XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) {
            root_ = pattern;
            return;
        }
    }
}

ScratchFolder::~ScratchFolder() {
    if (!root_.empty()) RemoveNativeTree(root_);
}

int LaunchOuterFrames() { return g_outerFrames; }

std::string RuntimeRootOf(const std::string& appData) { return appData + "/Vorlane Runtime"; }
std::string RuntimeDirOf(const std::string& appData) { return RuntimeRootOf(appData) + "/202600"; }
std::string LibraryOf(const std::string& appData) { return RuntimeDirOf(appData) + "/VorlaneStub.dll"; }

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

namespace {

void ListBelow(const std::string& path, const std::string& relative, std::map<std::string, std::string>* out) {
    for (const std::string& name : NamesIn(path)) {
        const std::string full = path + "/" + name;
        const std::string key = relative.empty() ? name : relative + "/" + name;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) continue;
        const std::string id = " #" + std::to_string(st.st_ino);
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(full.c_str(), target, sizeof target);
            (*out)[key] = "link" + id + " " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            (*out)[key] = "folder" + id;
            ListBelow(full, key, out);
        } else {
            (*out)[key] = "file" + id + " " + std::to_string(st.st_size) + " bytes, changed " +
                          std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        }
    }
}

}  // namespace

std::map<std::string, std::string> TreeBelow(const std::string& path) {
    std::map<std::string, std::string> out;
    ListBelow(path, "", &out);
    return out;
}

bool MakeFolders(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        const std::string partial = path.substr(0, i);
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
