// The tools' outputs, work folders and interruptions over POSIX (Linux): see
// host.h.
//
// An output is an unnamed file (O_TMPFILE) in its final folder: a hard kill
// leaves nothing, as the file goes with the process's last descriptor. It
// gets a name only at the commit, linked under a hidden name and renamed over
// the final path at once. Where the file system refuses unnamed files it has
// the hidden name from the start.
//
// Every named temporary file and work folder is recorded in a fixed table
// before it can exist, so that the signal handler can remove it with calls
// that are safe in a handler (unlink, getdents64, openat, unlinkat, rmdir,
// kill). A slot goes FREE -> PENDING (its path written, the file not yet
// made) -> LIVE (the file or folder is ours) -> FREE; the handler touches LIVE
// slots only, claiming each as BUSY while it works, and the owner claims a
// slot the same way before it renames or removes what the slot names. Signals
// are blocked in the calling thread around each step; the encoder's threads
// may still take one, so the handler records the interruption before it
// sweeps and the creating code looks at the record after it publishes a slot:
// between them every new file is removed by one or the other.
//
// What has a name holds a lock (flock) for its whole life; the kernel drops
// it when the process dies, however it dies. ToolRemoveLeftovers removes a
// name of ours whose lock is free and whose process id no longer runs (the
// id alone covers the moment between a name's creation and its lock).
//
// A second signal of the same kind ends the process at once, by the signal,
// once the handler has swept again: a packager who presses Ctrl-C twice wants
// out even if the main loop is stuck on a hung disk, and nothing is left.
#include "tools/host/host.h"
#include "tools/host/host_internal.h"
#include "tools/host/output_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

enum SlotState : int { SLOT_FREE, SLOT_PENDING, SLOT_LIVE, SLOT_BUSY };

constexpr size_t SLOT_COUNT = 32;
constexpr size_t PATH_CAPACITY = 4096;
// How deep a work folder is emptied: signers write files, rarely a folder.
constexpr int TREE_DEPTH = 16;

struct Slot {
    std::atomic<int> state{SLOT_FREE};
    bool folder = false;
    int folderFd = -1;  // a work folder's own descriptor: its lock, and for emptying it in the handler
    char path[PATH_CAPACITY] = {};
};

Slot g_slots[SLOT_COUNT];
std::atomic<int> g_interruption{0};
std::atomic<unsigned> g_seen{0};  // one bit per signal number already received
std::atomic<long> g_child{0};
uint64_t (*g_draw)() = nullptr;
bool g_named = false;

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

// Removes what a folder holds through its descriptor, subfolders down to
// depth levels, never following a link (a link is removed as a name). Safe in
// a signal handler: no allocation, no stdio.
void EmptyFolder(int fd, int depth) {
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
                if (unlinkat(fd, name, 0) == 0) {
                    removed = true;
                    continue;
                }
                if (errno != EISDIR && errno != EPERM) continue;
                if (depth > 0) {
                    const int inner = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                    if (inner >= 0) {
                        EmptyFolder(inner, depth - 1);
                        close(inner);
                    }
                }
                if (unlinkat(fd, name, AT_REMOVEDIR) == 0) removed = true;
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
    if (slot->folderFd >= 0) EmptyFolder(slot->folderFd, TREE_DEPTH);
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

// Asks the running child and whatever it started to end: its process group,
// or the process alone where it leads none.
void StopChildTree(int signal) {
    const long child = g_child.load();
    if (child <= 0) return;
    if (kill(-static_cast<pid_t>(child), signal) != 0) kill(static_cast<pid_t>(child), signal);
}

void OnInterruption(int signal) {
    const int savedErrno = errno;
    int none = 0;
    g_interruption.compare_exchange_strong(none, signal);  // before the sweep: see the file comment
    const unsigned bit = 1u << (static_cast<unsigned>(signal) & 31u);
    const bool again = (g_seen.fetch_or(bit) & bit) != 0;
    SweepRegistered();
    StopChildTree(SIGTERM);
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

uint32_t OwnPid() { return static_cast<uint32_t>(getpid()); }

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

// The lock a living owner holds on what it names. Where the file system has
// no locks, ToolRemoveLeftovers cannot take one either and leaves the name.
void HoldLock(int fd) { flock(fd, LOCK_EX | LOCK_NB); }

// The file system refuses unnamed files (or the kernel predates them).
bool NoUnnamedFiles(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// An unnamed file in folder, open by a /proc path; -1 with *error when the
// system has none to give (*error 0: take a named one instead).
int CreateUnnamed(const std::string& folder, std::string* path, int* error) {
    *error = 0;
    const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (!NoUnnamedFiles(errno)) *error = errno;
        return -1;
    }
    // The check and a signer open it by this path; without /proc it has none.
    *path = "/proc/" + std::to_string(OwnPid()) + "/fd/" + std::to_string(fd);
    struct stat byPath;
    struct stat byFd;
    if (stat(path->c_str(), &byPath) != 0 || fstat(fd, &byFd) != 0 || byPath.st_ino != byFd.st_ino ||
        byPath.st_dev != byFd.st_dev) {
        close(fd);
        return -1;
    }
    HoldLock(fd);
    return fd;
}

// Links an unnamed output under a fresh hidden name in its folder; the name, or "" with *error.
std::string LinkHidden(const ToolOutput& output, int* error) {
    const std::string folder = ToolFolderOf(output.final);
    const std::string name = ToolNameOf(output.final);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string hidden = ToolJoin(folder, ToolTemporaryFileName(name, OwnPid(), DrawRandom()));
        if (linkat(AT_FDCWD, output.temporary.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return hidden;
        }
        *error = errno;
        if (*error != EEXIST) return std::string();
    }
    return std::string();
}

// Whether a process of that id runs (or may: one we may not signal counts).
bool ProcessRuns(uint32_t pid) {
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The names in a folder open as fd.
std::vector<std::string> NamesIn(int fd) {
    std::vector<std::string> names;
    const int copy = dup(fd);
    if (copy < 0) return names;
    DIR* listing = fdopendir(copy);
    if (listing == nullptr) {
        close(copy);
        return names;
    }
    while (const dirent* entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    }
    closedir(listing);
    return names;
}

// Removes, in the folder open as fd, the names of ours whose owner is gone:
// regular files (work: folders) of this user, never a link, whose process
// does not run and whose lock is free. How many went.
size_t SweepFolder(int fd, bool work) {
    size_t removed = 0;
    for (const std::string& name : NamesIn(fd)) {
        uint32_t pid = 0;
        const bool ours = work ? ToolParseWorkFolderName(name, &pid) : ToolParseTemporaryFileName(name, &pid);
        if (!ours || ProcessRuns(pid)) continue;
        struct stat listed;
        if (fstatat(fd, name.c_str(), &listed, AT_SYMLINK_NOFOLLOW) != 0 || listed.st_uid != geteuid() ||
            (work ? !S_ISDIR(listed.st_mode) : !S_ISREG(listed.st_mode))) {
            continue;
        }
        const int entry = openat(fd, name.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (work ? O_DIRECTORY : 0));
        if (entry < 0) continue;
        struct stat opened;
        if (fstat(entry, &opened) == 0 && opened.st_dev == listed.st_dev && opened.st_ino == listed.st_ino &&
            flock(entry, LOCK_EX | LOCK_NB) == 0) {
            if (work) EmptyFolder(entry, TREE_DEPTH);
            if (unlinkat(fd, name.c_str(), work ? AT_REMOVEDIR : 0) == 0) ++removed;
        }
        close(entry);
    }
    return removed;
}

size_t SweepPath(const std::string& folder, bool work) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    const size_t removed = SweepFolder(fd, work);
    close(fd);
    return removed;
}

}  // namespace

void ToolSetNameDraw(uint64_t (*draw)()) { g_draw = draw; }
void ToolSetNamedOutputs(bool named) { g_named = named; }

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
    if (!g_named) {
        std::string path;
        int error = 0;
        const int fd = CreateUnnamed(folder, &path, &error);
        if (error != 0) return FailErrno(why, "cannot create a temporary file in " + folder, error);
        if (fd >= 0) {
            CloseFile(&output->file);
            output->file.handle = fd;
            output->temporary = path;
            output->final = finalPath;
            output->closed = false;
            output->goesWithHandle = true;
            return true;
        }
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string temporary = ToolJoin(folder, ToolTemporaryFileName(name, OwnPid(), DrawRandom()));
        Slot* slot = ClaimSlot(temporary, why);
        if (slot == nullptr) return false;
        const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int error = errno;
            slot->state.store(SLOT_FREE);
            if (error == EEXIST) continue;  // never someone else's file: the slot was not LIVE
            return FailErrno(why, "cannot create a temporary file in " + folder, error);
        }
        HoldLock(fd);
        if (!PublishSlot(slot, why)) {
            close(fd);
            return false;
        }
        CloseFile(&output->file);
        output->file.handle = fd;
        output->temporary = temporary;
        output->final = finalPath;
        output->closed = false;
        output->goesWithHandle = false;
        return true;
    }
    return Fail(why, "cannot create a temporary file in " + folder + ": every name tried exists");
}

bool ToolWrite(ToolOutput* output, const uint8_t* data, size_t size, std::string* why) {
    if (output->closed) return Fail(why, "cannot write " + output->final + ": it is finished");
    int error = 0;
    if (WriteAll(static_cast<int>(output->file.handle), data, size, 0, false, &error)) return true;
    return FailErrno(why, "cannot write " + output->final, error);
}

bool ToolWriteAt(ToolOutput* output, uint64_t offset, const uint8_t* data, size_t size, std::string* why) {
    if (output->closed) return Fail(why, "cannot write " + output->final + ": it is finished");
    int error = 0;
    if (WriteAll(static_cast<int>(output->file.handle), data, size, offset, true, &error)) return true;
    return FailErrno(why, "cannot write " + output->final, error);
}

// The descriptor stays open: it is an unnamed file's only hold, and a named
// one's lock.
bool ToolCloseOutput(ToolOutput* output, std::string* why) {
    if (output->temporary.empty()) return Fail(why, "no output to finish");
    if (output->closed) return true;
    const int fd = static_cast<int>(output->file.handle);
    if (fsync(fd) != 0) return FailErrno(why, "cannot flush " + output->final + " to disk", errno);
    if (fchmod(fd, ExecutableMode()) != 0) return FailErrno(why, "cannot make " + output->final + " executable", errno);
    output->closed = true;
    return true;
}

// Any failure discards the temporary file: a refused commit leaves nothing.
bool ToolCommitOutput(ToolOutput* output, std::string* why) {
    if (output->temporary.empty()) return Fail(why, "no output to finish");
    std::string failure;
    if (!ToolCloseOutput(output, &failure) && failure.empty()) failure = "cannot close " + output->final;
    SignalBlock block;
    Slot* slot = output->goesWithHandle ? nullptr : TakeSlot(output->temporary);
    if (failure.empty() && g_interruption.load() != 0) failure = "interrupted";
    std::string named = output->goesWithHandle ? std::string() : output->temporary;
    if (failure.empty() && output->goesWithHandle) {
        int error = 0;
        named = LinkHidden(*output, &error);
        if (named.empty()) failure = "cannot name " + output->final + ": " + std::strerror(error);
    }
    if (failure.empty() && rename(named.c_str(), output->final.c_str()) != 0) {
        const int error = errno;
        failure = g_interruption.load() != 0 ? std::string("interrupted")
                                             : "cannot replace " + output->final + ": " + std::strerror(error);
    }
    if (!failure.empty() && !named.empty()) unlink(named.c_str());
    if (slot != nullptr) ReleaseSlot(slot);
    CloseFile(&output->file);
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
    if (output->temporary.empty()) {
        CloseFile(&output->file);
        return;
    }
    SignalBlock block;
    if (!output->goesWithHandle) {
        Slot* slot = TakeSlot(output->temporary);
        unlink(output->temporary.c_str());
        if (slot != nullptr) ReleaseSlot(slot);
    }
    CloseFile(&output->file);
    output->temporary.clear();
}

// ---- work folders ---------------------------------------------------------------

bool ToolMakeWorkFolder(std::string* folder, std::string* why) {
    std::string base;
    if (!ToolTemporaryFolder(&base, why)) return false;
    SignalBlock block;
    if (g_interruption.load() != 0) return Fail(why, "interrupted");
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string path = ToolJoin(base, ToolWorkFolderName(OwnPid(), DrawRandom()));
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
        HoldLock(slot->folderFd);
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
    EmptyFolder(fd, TREE_DEPTH);
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

size_t ToolRemoveLeftovers(const std::string& outputFolder) {
    std::string base;
    return SweepPath(outputFolder, false) + (ToolTemporaryFolder(&base, nullptr) ? SweepPath(base, true) : 0);
}
