// The Windows file-system simulator (tests only): the process and what Windows
// would supply to it (module path, local app data folder, command line, string
// table, message boxes, heap), and the controls through which native tests set
// all of that.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/sim_internal.h"

using namespace sim_backend;

namespace {

std::atomic<uint64_t> g_sleepRequested{0};

std::vector<std::u16string> SplitCommandLine(const char16_t* s) {
    std::vector<std::u16string> out;
    std::u16string current;
    // The program name: quoted without escapes, or up to the first blank.
    if (*s == u'"') {
        ++s;
        while (*s != 0 && *s != u'"') current += *s++;
        if (*s == u'"') ++s;
    } else {
        while (*s != 0 && *s != u' ' && *s != u'\t') current += *s++;
    }
    out.push_back(current);

    for (;;) {
        while (*s == u' ' || *s == u'\t') ++s;
        if (*s == 0) break;
        current.clear();
        bool quoted = false;
        while (*s != 0 && (quoted || (*s != u' ' && *s != u'\t'))) {
            if (*s == u'\\') {
                size_t slashes = 0;
                while (*s == u'\\') {
                    ++slashes;
                    ++s;
                }
                if (*s == u'"') {
                    current.append(slashes / 2, u'\\');
                    if (slashes % 2 == 1) {
                        current += u'"';
                        ++s;
                    }
                } else {
                    current.append(slashes, u'\\');
                }
            } else if (*s == u'"') {
                if (quoted && s[1] == u'"') {
                    current += u'"';  // "" inside quotes: a literal quote, still quoted
                    s += 2;
                } else {
                    quoted = !quoted;
                    ++s;
                }
            } else {
                current += *s++;
            }
        }
        out.push_back(current);
    }
    return out;
}

}  // namespace

// ---- controls -----------------------------------------------------------------

void PosixSetFaultHook(FaultHook hook, void* context) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.hook = hook;
    g_controls.hookContext = context;
}

uint64_t PosixCallCount(PlatOp op) {
    const int i = static_cast<int>(op);
    if (i < 0 || i >= static_cast<int>(PlatOp::Count)) return 0;
    return g_calls[i].load();
}

uint64_t PosixSleepRequested() {
    return g_sleepRequested.load();
}

void PosixResetCallCounts() {
    for (auto& count : g_calls) count.store(0);
    g_sleepRequested.store(0);
}

void PosixSetModulePath(const char16_t* path) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.moduleSet = path != nullptr;
    g_controls.modulePath = path != nullptr ? path : u"";
}

void PosixSetLocalAppData(const char16_t* path, int32_t result) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.appDataSet = path != nullptr;
    g_controls.appData = path != nullptr ? path : u"";
    g_controls.appDataResult = result;
}

void PosixSetCommandLine(const char16_t* commandLine) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.commandLine = commandLine != nullptr ? commandLine : u"";
}

void PosixSetString(uint32_t id, const char16_t* value) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (value == nullptr) {
        g_controls.strings.erase(id);
    } else {
        g_controls.strings[id] = value;
    }
}

void PosixClearStrings() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.strings.clear();
}

void PosixSetTrust(uint32_t result, const std::u16string& signer, uint32_t chainErrors) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.trustResult = result;
    g_controls.signer = signer;
    g_controls.chainErrors = chainErrors;
}

void PosixSetCodeSigning(bool named) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.codeSigning = named;
}

void PosixSetTrustDigest(const std::vector<uint8_t>& digest) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.trustDigest = digest;
}

const std::vector<PosixMessageBox>& PosixMessageBoxes() {
    return g_controls.boxes;
}

void PosixClearMessageBoxes() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.boxes.clear();
}

size_t PosixOpenHandleCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t count = 0;
    for (const Handle* h : g_handles) count += h->kind == Kind::Library ? h->references : 1;
    return count;
}

size_t PosixLiveHeapBlocks() {
    return g_heapBlocks.load();
}

size_t PosixLiveLocalBlocks() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_localBlocks.size();
}

void PosixResetControls() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_controls = Controls{};
    }
    PosixResetCallCounts();
}

// ---- the operations -------------------------------------------------------------

uint32_t PlatGetLastError() {
    return t_lastError;
}

void PlatSetLastError(uint32_t code) {
    t_lastError = code;
}

// A request for 0 bytes yields null (no block is counted); callers never need one.
void* PlatHeapAlloc(size_t size) {
    if (Injected(Enter(PlatOp::HeapAlloc, nullptr))) return nullptr;
    if (size == 0) return nullptr;
    void* block = std::malloc(size);
    if (block == nullptr) {
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    g_heapBlocks.fetch_add(1);
    return block;
}

void PlatHeapFree(void* block) {
    if (block == nullptr) return;
    std::free(block);
    g_heapBlocks.fetch_sub(1);
}

bool PlatSetDefaultDllDirectories(uint32_t) {
    if (Injected(Enter(PlatOp::SetDefaultDllDirectories, nullptr))) return false;
    return true;
}

void PlatInitCommonControls() {}

uint32_t PlatGetCurrentProcessId() { return static_cast<uint32_t>(getpid()); }

// The hook may shorten the wait (Short) or skip it (Fail); what was asked is counted either way.
void PlatSleep(uint32_t milliseconds) {
    const FaultAction action = Enter(PlatOp::Sleep, nullptr);
    g_sleepRequested.fetch_add(milliseconds);
    uint32_t wait = milliseconds;
    if (action.kind == FaultAction::Fail) wait = 0;
    if (action.kind == FaultAction::Short && action.shortBytes < wait) wait = action.shortBytes;
    if (wait > 0) usleep(static_cast<useconds_t>(wait) * 1000u);
}

uint32_t PlatGetModuleFileName(char16_t* buffer, uint32_t capacity) {
    if (Injected(Enter(PlatOp::GetModuleFileName, nullptr))) return 0;
    std::u16string path;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_controls.moduleSet) return FailWith(ERROR_FILE_NOT_FOUND, 0u);
        path = g_controls.modulePath;
    }
    if (buffer == nullptr || capacity == 0) return FailWith(ERROR_INSUFFICIENT_BUFFER, 0u);
    if (path.size() < capacity) {
        std::memcpy(buffer, path.data(), path.size() * sizeof(char16_t));
        buffer[path.size()] = 0;
        return static_cast<uint32_t>(path.size());
    }
    // Cut: capacity - 1 characters and the terminator, as Windows does since Vista.
    std::memcpy(buffer, path.data(), (capacity - 1) * sizeof(char16_t));
    buffer[capacity - 1] = 0;
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return capacity;
}

int32_t PlatGetLocalAppDataFolder(char16_t* buffer, size_t capacity) {
    const FaultAction action = Enter(PlatOp::GetLocalAppDataFolder, nullptr);
    if (buffer != nullptr && capacity > 0) buffer[0] = 0;
    if (Injected(action)) return action.error != 0 ? HresultFromWin32(action.error) : E_FAIL_RESULT;
    if (buffer == nullptr || capacity == 0) return HresultFromWin32(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_controls.appDataResult != 0) return g_controls.appDataResult;
    if (!g_controls.appDataSet) return E_FAIL_RESULT;
    const std::u16string& path = g_controls.appData;
    if (path.size() + 1 > capacity) return HresultFromWin32(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, path.data(), path.size() * sizeof(char16_t));
    buffer[path.size()] = 0;
    return 0;
}

const char16_t* PlatGetCommandLine() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_controls.commandLine.c_str();
}

// One block: the pointer array (null-terminated) followed by the strings.
char16_t** PlatCommandLineToArgv(const char16_t* commandLine, int* count) {
    if (Injected(Enter(PlatOp::CommandLineToArgv, nullptr))) return nullptr;
    if (count == nullptr) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
    std::vector<std::u16string> args;
    if (commandLine == nullptr || commandLine[0] == 0) {
        std::lock_guard<std::mutex> guard(g_lock);
        args.push_back(g_controls.modulePath);  // as Windows: the module's own path
    } else {
        args = SplitCommandLine(commandLine);
    }
    const size_t pointers = (args.size() + 1) * sizeof(char16_t*);
    size_t units = 0;
    for (const auto& a : args) units += a.size() + 1;
    auto* block = static_cast<char*>(std::malloc(pointers + units * sizeof(char16_t)));
    if (block == nullptr) return FailWith(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    auto** argv = reinterpret_cast<char16_t**>(block);
    auto* text = reinterpret_cast<char16_t*>(block + pointers);
    for (size_t i = 0; i < args.size(); ++i) {
        argv[i] = text;
        std::memcpy(text, args[i].data(), args[i].size() * sizeof(char16_t));
        text[args[i].size()] = 0;
        text += args[i].size() + 1;
    }
    argv[args.size()] = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_localBlocks.insert(block);
    }
    *count = static_cast<int>(args.size());
    return argv;
}

void PlatLocalFree(void* block) {
    if (block == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_localBlocks.erase(block) == 0) return;  // not ours: left alone, as LocalFree fails
    }
    std::free(block);
}

int PlatMessageBox(const char16_t* text, const char16_t* caption, uint32_t style) {
    if (Injected(Enter(PlatOp::MessageBox, nullptr))) return 0;
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.boxes.push_back(
        PosixMessageBox{text != nullptr ? text : u"", caption != nullptr ? caption : u"Error", style});
    return 1;  // IDOK
}

int PlatLoadString(PlatModule, uint32_t id, char16_t* buffer, int capacity) {
    if (Injected(Enter(PlatOp::LoadString, nullptr))) return 0;
    if (buffer == nullptr || capacity <= 0) return FailWith(ERROR_INVALID_PARAMETER, 0);
    buffer[0] = 0;
    std::lock_guard<std::mutex> guard(g_lock);
    const auto found = g_controls.strings.find(id);
    if (found == g_controls.strings.end()) return FailWith(ERROR_RESOURCE_NAME_NOT_FOUND_CODE, 0);
    const size_t n = std::min(found->second.size(), static_cast<size_t>(capacity - 1));
    std::memcpy(buffer, found->second.data(), n * sizeof(char16_t));
    buffer[n] = 0;
    return static_cast<int>(n);
}
