// The tools' outputs, work folders and interruptions over POSIX (Linux): see
// tool_host.h.
//
// Every temporary file and work folder is recorded in a fixed table before it
// can exist, so that the signal handler can remove it with calls that are safe
// in a handler (unlink, getdents64, unlinkat, rmdir, kill). A slot goes
// FREE -> PENDING (its path written, the file not yet made) -> LIVE (the file
// or folder is ours) -> FREE; the handler touches LIVE slots only, claiming
// each as BUSY while it works, and the owner claims a slot the same way before
// it renames or removes what the slot names. Signals are blocked in the
// calling thread around each step; the encoder's threads may still take one,
// so the handler records the interruption before it sweeps and the creating
// code looks at the record after it publishes a slot: between them every new
// file is removed by one or the other.
//
// A second signal of the same kind ends the process at once, by the signal,
// once the handler has swept again: a packager who presses Ctrl-C twice wants
// out even if the main loop is stuck on a hung disk, and nothing is left.
#include "platform/tool_host.h"
#include "platform/tool_host_internal.h"
#include "platform/tool_output_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

namespace {

enum SlotState : int { SLOT_FREE, SLOT_PENDING, SLOT_LIVE, SLOT_BUSY };

constexpr size_t SLOT_COUNT = 32;
constexpr size_t PATH_CAPACITY = 4096;

struct Slot {
    std::atomic<int> state{SLOT_FREE};
    bool folder = false;
    int folderFd = -1;  // a work folder's own descriptor, for emptying it in the handler
    char path[PATH_CAPACITY] = {};
};

Slot g_slots[SLOT_COUNT];
std::atomic<int> g_interruption{0};
std::atomic<unsigned> g_seen{0};  // one bit per signal number already received
std::atomic<long> g_child{0};
uint64_t (*g_draw)() = nullptr;

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free &&
                  std::atomic<unsigned>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

const int CAUGHT[] = {SIGINT, SIGTERM, SIGHUP};

bool Fail(std::string* why, const std::string& what) {
    if (why != nullptr) *why = what;
    return false;
}

bool FailErrno(std::string* why, const std::string& what, int error) {
    return Fail(why, what + ": " + std::strerror(error));
}

// Blocks the caught signals in this thread for a scope.
struct SignalBlock {
    sigset_t old;
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (const int s : CAUGHT) sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, &old);
    }
    ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;
};

// Removes what a folder holds, one level down (an empty subfolder included),
// through its descriptor. Safe in a signal handler: no allocation, no stdio.
void EmptyFolder(int fd) {
    alignas(8) char buffer[4096];
    for (int pass = 0; pass < 8; ++pass) {  // names removed while listed may hide others: list again
        if (lseek(fd, 0, SEEK_SET) != 0) return;
        bool removed = false;
        for (;;) {
            const ssize_t n = getdents64(fd, buffer, sizeof(buffer));
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                unsigned short length = 0;
                memcpy(&length, buffer + at + offsetof(struct dirent64, d_reclen), sizeof(length));
                const char* name = buffer + at + offsetof(struct dirent64, d_name);
                at += length;
                if (length == 0) break;
                if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
                if (unlinkat(fd, name, 0) == 0 || unlinkat(fd, name, AT_REMOVEDIR) == 0) removed = true;
            }
        }
        if (!removed) return;
    }
}

// Removes what a claimed slot names.
void RemoveSlotTarget(Slot* slot) {
    if (!slot->folder) {
        unlink(slot->path);
        return;
    }
    if (slot->folderFd >= 0) EmptyFolder(slot->folderFd);
    rmdir(slot->path);
}

void SweepRegistered() {
    for (Slot& slot : g_slots) {
        int live = SLOT_LIVE;
        if (!slot.state.compare_exchange_strong(live, SLOT_BUSY)) continue;
        RemoveSlotTarget(&slot);
        slot.state.store(SLOT_LIVE);
    }
}

void OnInterruption(int signal) {
    const int savedErrno = errno;
    int none = 0;
    g_interruption.compare_exchange_strong(none, signal);  // before the sweep: see the file comment
    const unsigned bit = 1u << (static_cast<unsigned>(signal) & 31u);
    const bool again = (g_seen.fetch_or(bit) & bit) != 0;
    SweepRegistered();
    const long child = g_child.load();
    if (child > 0) kill(static_cast<pid_t>(child), SIGTERM);
    if (again) {
        struct sigaction fallback;
        memset(&fallback, 0, sizeof(fallback));
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        raise(signal);  // pending until the handler returns, then it ends the process
    }
    errno = savedErrno;
}

// A closed pipe on standard output must not end the process with an output
// half written: the write then fails with EPIPE instead.
void OnBrokenPipe(int) {}

uint64_t DrawRandom() {
    if (g_draw != nullptr) return g_draw();
    uint64_t value = 0;
    if (getrandom(&value, sizeof(value), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(value))) return value;
    // No entropy yet (early boot): unique enough, exclusive creation does the rest.
    static uint64_t counter = 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
            (static_cast<uint64_t>(getpid()) << 40)) +
           ++counter * 0x9E3779B97F4A7C15ull;
}

std::string Hex(uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (size_t i = 16; i-- > 0; value >>= 4) text[i] = digits[value & 15u];
    return text;
}

// A FREE slot made PENDING with path, or nullptr (why says which limit).
Slot* ClaimSlot(const std::string& path, std::string* why) {
    if (path.size() >= PATH_CAPACITY) {
        Fail(why, "the path is too long for a temporary file: " + path);
        return nullptr;
    }
    for (Slot& slot : g_slots) {
        int freeState = SLOT_FREE;
        if (!slot.state.compare_exchange_strong(freeState, SLOT_PENDING)) continue;
        memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.folder = false;
        slot.folderFd = -1;
        return &slot;
    }
    Fail(why, "too many temporary files at once (" + std::to_string(SLOT_COUNT) + ")");
    return nullptr;
}

// The LIVE slot naming path, claimed as BUSY (waiting for a handler in
// another thread to finish with it), or nullptr.
Slot* TakeSlot(const std::string& path) {
    for (Slot& slot : g_slots) {
        if (slot.state.load() == SLOT_FREE || slot.state.load() == SLOT_PENDING) continue;
        if (strcmp(slot.path, path.c_str()) != 0) continue;
        for (;;) {
            int live = SLOT_LIVE;
            if (slot.state.compare_exchange_weak(live, SLOT_BUSY)) return &slot;
            if (live != SLOT_BUSY) break;  // freed meanwhile
        }
    }
    return nullptr;
}

void ReleaseSlot(Slot* slot) {
    if (slot->folderFd >= 0) close(slot->folderFd);
    slot->folderFd = -1;
    slot->state.store(SLOT_FREE);
}

// Makes a PENDING slot LIVE; false (and the target removed, the slot freed)
// when an interruption came meanwhile: see the file comment.
bool PublishSlot(Slot* slot, std::string* why) {
    slot->state.store(SLOT_LIVE);
    if (g_interruption.load() == 0) return true;
    int live = SLOT_LIVE;
    while (!slot->state.compare_exchange_weak(live, SLOT_BUSY)) live = SLOT_LIVE;
    RemoveSlotTarget(slot);
    ReleaseSlot(slot);
    return Fail(why, "interrupted");
}

bool WriteAll(int fd, const uint8_t* data, size_t size, uint64_t offset, bool positioned, int* error) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = positioned ? pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done))
                                     : write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void CloseFile(ToolFile* file) {
    if (file->handle >= 0) close(static_cast<int>(file->handle));
    file->handle = -1;
}

// The mode a new executable gets: 0755 less the user's umask, as a linker does.
mode_t ExecutableMode() {
    const mode_t mask = umask(022);
    umask(mask);
    return static_cast<mode_t>(0755 & ~mask);
}

}  // namespace

void ToolSetNameDraw(uint64_t (*draw)()) { g_draw = draw; }

void ToolSetRunningChild(intptr_t child) { g_child.store(static_cast<long>(child)); }

// Signals ignored on entry (nohup, a background job's SIGINT) stay ignored.
void ToolCatchInterruptions() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnInterruption;
    sigemptyset(&action.sa_mask);
    for (const int s : CAUGHT) sigaddset(&action.sa_mask, s);
    action.sa_flags = SA_RESTART;
    for (const int s : CAUGHT) {
        struct sigaction old;
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
    struct sigaction brokenPipe;
    memset(&brokenPipe, 0, sizeof(brokenPipe));
    brokenPipe.sa_handler = OnBrokenPipe;
    sigemptyset(&brokenPipe.sa_mask);
    brokenPipe.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &brokenPipe, nullptr);
}

int ToolInterruption() { return g_interruption.load(); }

// ---- the output -----------------------------------------------------------------

bool ToolCreateOutput(const std::string& finalPath, ToolOutput* output, std::string* why) {
    const std::string folder = ToolFolderOf(finalPath);
    const std::string name = ToolNameOf(finalPath);
    if (name.empty() || name == "." || name == "..") return Fail(why, "not a file name: " + finalPath);
    SignalBlock block;
    if (g_interruption.load() != 0) return Fail(why, "interrupted");
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string temporary = ToolJoin(folder, "." + name + "." + Hex(DrawRandom()) + ".tmp");
        Slot* slot = ClaimSlot(temporary, why);
        if (slot == nullptr) return false;
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int error = errno;
            slot->state.store(SLOT_FREE);
            if (error == EEXIST) continue;  // never someone else's file: the slot was not LIVE
            return FailErrno(why, "cannot create a temporary file in " + folder, error);
        }
        if (!PublishSlot(slot, why)) {
            close(fd);
            return false;
        }
        CloseFile(&output->file);
        output->file.handle = fd;
        output->temporary = temporary;
        output->final = finalPath;
        return true;
    }
    return Fail(why, "cannot create a temporary file in " + folder + ": every name tried exists");
}

bool ToolWrite(ToolOutput* output, const uint8_t* data, size_t size, std::string* why) {
    int error = 0;
    if (WriteAll(static_cast<int>(output->file.handle), data, size, 0, false, &error)) return true;
    return FailErrno(why, "cannot write " + output->final, error);
}

bool ToolWriteAt(ToolOutput* output, uint64_t offset, const uint8_t* data, size_t size, std::string* why) {
    int error = 0;
    if (WriteAll(static_cast<int>(output->file.handle), data, size, offset, true, &error)) return true;
    return FailErrno(why, "cannot write " + output->final, error);
}

// Any failure discards the temporary file: a refused commit leaves nothing.
bool ToolCloseOutput(ToolOutput* output, std::string* why) {
    if (output->temporary.empty()) return Fail(why, "no output to finish");
    if (output->file.handle < 0) return true;
    const int fd = static_cast<int>(output->file.handle);
    std::string failure;
    if (fsync(fd) != 0) {
        failure = std::string("cannot flush ") + output->final + " to disk: " + std::strerror(errno);
    } else if (fchmod(fd, ExecutableMode()) != 0) {
        failure = std::string("cannot make ") + output->final + " executable: " + std::strerror(errno);
    }
    CloseFile(&output->file);
    return failure.empty() || Fail(why, failure);
}

bool ToolCommitOutput(ToolOutput* output, std::string* why) {
    if (output->temporary.empty()) return Fail(why, "no output to finish");
    std::string failure;
    if (!ToolCloseOutput(output, &failure) && failure.empty()) failure = "cannot close " + output->final;
    SignalBlock block;
    Slot* slot = TakeSlot(output->temporary);
    if (failure.empty() && g_interruption.load() != 0) failure = "interrupted";
    if (failure.empty() && rename(output->temporary.c_str(), output->final.c_str()) != 0) {
        const int error = errno;
        failure = g_interruption.load() != 0 ? std::string("interrupted")
                                             : "cannot replace " + output->final + ": " + std::strerror(error);
    }
    if (!failure.empty()) unlink(output->temporary.c_str());
    if (slot != nullptr) ReleaseSlot(slot);
    output->temporary.clear();
    if (!failure.empty()) return Fail(why, failure);
    // The rename itself is durable once the folder is flushed.
    const int folderFd = open(ToolFolderOf(output->final).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}

void ToolDiscardOutput(ToolOutput* output) {
    CloseFile(&output->file);
    if (output->temporary.empty()) return;
    SignalBlock block;
    Slot* slot = TakeSlot(output->temporary);
    unlink(output->temporary.c_str());
    if (slot != nullptr) ReleaseSlot(slot);
    output->temporary.clear();
}

// ---- work folders ---------------------------------------------------------------

bool ToolMakeWorkFolder(std::string* folder, std::string* why) {
    std::string base;
    if (!ToolGetEnv("TMPDIR", &base) || base.empty()) base = "/tmp";
    SignalBlock block;
    if (g_interruption.load() != 0) return Fail(why, "interrupted");
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string path = ToolJoin(base, "vorlane-" + Hex(DrawRandom()));
        Slot* slot = ClaimSlot(path, why);
        if (slot == nullptr) return false;
        slot->folder = true;
        if (mkdir(path.c_str(), 0700) != 0) {
            const int error = errno;
            slot->state.store(SLOT_FREE);
            if (error == EEXIST) continue;
            return FailErrno(why, "cannot create a work folder in " + base, error);
        }
        slot->folderFd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (slot->folderFd < 0) {
            const int error = errno;
            rmdir(path.c_str());
            slot->state.store(SLOT_FREE);
            return FailErrno(why, "cannot open the work folder " + path, error);
        }
        if (!PublishSlot(slot, why)) return false;
        *folder = path;
        return true;
    }
    return Fail(why, "cannot create a work folder in " + base + ": every name tried exists");
}

void ToolRemoveWorkFolder(const std::string& folder) {
    SignalBlock block;
    Slot* slot = TakeSlot(folder);
    if (slot != nullptr) {
        RemoveSlotTarget(slot);
        ReleaseSlot(slot);
        return;
    }
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    EmptyFolder(fd);
    close(fd);
    rmdir(folder.c_str());
}

bool ToolWriteNewFile(const std::string& path, const uint8_t* data, size_t size, std::string* why) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return FailErrno(why, "cannot create " + path, errno);
    int error = 0;
    const bool written = WriteAll(fd, data, size, 0, false, &error);
    if (close(fd) != 0 && written) error = errno;
    if (written && error == 0) return true;
    unlink(path.c_str());
    return FailErrno(why, "cannot write " + path, error);
}
