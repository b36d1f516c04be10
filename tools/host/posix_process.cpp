// Child processes for the tools over POSIX (see host.h).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tools/host/host.h"
#include "tools/host/host_internal.h"

extern char** environ;

namespace {

// How long a child stopped by an interruption gets to end before it is killed.
constexpr int STOP_GRACE_MS = 2000;
constexpr int POLL_MS = 50;
// The descriptor a child reads a secret from (ToolSecretName).
constexpr int SECRET_FD = 3;

// A descriptor closed by its destructor.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value = -1) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

// The spawn records, destroyed with the scope.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool actionsMade = false;
    bool attributesMade = false;
    SpawnSetup() = default;
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        if (actionsMade) posix_spawn_file_actions_destroy(&actions);
        if (attributesMade) posix_spawnattr_destroy(&attributes);
    }
};

bool IsExecutableFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Reads what the pipe holds now; false at its end (every writer closed it).
bool Drain(int fd, std::string* output) {
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            ToolKeepOutput(output, buffer, static_cast<size_t>(got));
            continue;
        }
        if (got == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Where the child is, without reaping it: the pid stays the child's (and its
// process group's id) until the record the interruption handler reads is
// cleared.
enum class ChildState { Running, Ended, Stopped };

ChildState StateOf(pid_t pid, int* stopSignal) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) return ChildState::Ended;  // nothing left to wait for
    }
    if (info.si_pid != pid) return ChildState::Running;
    if (info.si_code == CLD_STOPPED) {
        *stopSignal = info.si_status;
        return ChildState::Stopped;
    }
    return ChildState::Ended;
}

bool HasEnded(pid_t pid) {
    int signal = 0;
    return StateOf(pid, &signal) == ChildState::Ended;
}

// Signals the child's process group, or the child alone where it leads none.
void Signal(pid_t pid, int signal) {
    if (kill(-pid, signal) != 0) kill(pid, signal);
}

// Ends the child and every process in its group: asked first, then killed.
// Returns once the child has ended; it stays unreaped, so its id, which
// names the group, is not given to another process meanwhile.
void StopTree(pid_t pid) {
    Signal(pid, SIGTERM);
    Signal(pid, SIGCONT);  // a stopped process sees the request only once it runs
    for (int waited = 0; waited < STOP_GRACE_MS && !HasEnded(pid); waited += POLL_MS) poll(nullptr, 0, POLL_MS);
    // Whatever still runs in the group (the child, or a grandchild it left) is killed.
    Signal(pid, SIGKILL);
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

// The child's exit status (128 + the signal that ended it); false when it cannot be had.
bool Reap(pid_t pid, int* status) {
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) return false;
    }
    if (WIFEXITED(raw)) *status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) *status = 128 + WTERMSIG(raw);
    return WIFEXITED(raw) || WIFSIGNALED(raw);
}

int64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A pipe holding the secret, its write end closed: the reader gets exactly
// the secret, then the end. The read end is not 3 itself, so that the dup2 of
// the spawn always makes a fresh, inherited descriptor 3.
bool SecretPipe(const std::string& secret, Descriptor* readEnd, std::string* why) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        *why = std::string("no pipe for the signer's secret: ") + std::strerror(errno);
        return false;
    }
    Descriptor reading(ends[0]);
    Descriptor writing(ends[1]);
    if (reading.fd == SECRET_FD) {
        const int moved = fcntl(reading.fd, F_DUPFD_CLOEXEC, SECRET_FD + 1);
        if (moved < 0) {
            *why = std::string("no pipe for the signer's secret: ") + std::strerror(errno);
            return false;
        }
        reading.Close();
        reading.fd = moved;
    }
    // Written whole before the child starts: it must never wait on this process.
    const int flags = fcntl(writing.fd, F_GETFL);
    if (flags >= 0) fcntl(writing.fd, F_SETFL, flags | O_NONBLOCK);
    size_t done = 0;
    while (done < secret.size()) {
        const ssize_t n = write(writing.fd, secret.data() + done, secret.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = "the secret does not fit the pipe to the signer (" + std::to_string(secret.size()) + " bytes)";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    readEnd->fd = reading.fd;
    reading.fd = -1;
    return true;
}

}  // namespace

const char* ToolSecretName() { return "/dev/fd/3"; }

bool ToolFindProgram(const std::string& name, std::string* path) {
    if (name.empty()) return false;
    if (name.find('/') != std::string::npos) {
        if (!IsExecutableFile(name)) return false;
        *path = name;
        return true;
    }
    const char* variable = getenv("PATH");
    const std::string list = variable != nullptr ? variable : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        const std::string folder = list.substr(start, end - start);
        start = end + 1;
        // An empty entry would mean the current folder: never searched.
        if (folder.empty()) continue;
        const std::string candidate = folder.back() == '/' ? folder + name : folder + "/" + name;
        if (IsExecutableFile(candidate)) {
            *path = candidate;
            return true;
        }
    }
    return false;
}

bool ToolRunFound(const std::string& program, const std::vector<std::string>& arguments, int* status,
                  std::string* output, const ToolRunOptions& options) {
    std::string why;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return ToolRunStopped(std::string("no pipe for the program's output: ") + std::strerror(errno), status,
                              output);
    }
    Descriptor reading(ends[0]);
    Descriptor writing(ends[1]);
    Descriptor secret;
    if (options.secret != nullptr && !SecretPipe(*options.secret, &secret, &why)) {
        return ToolRunStopped(why, status, output);
    }

    SpawnSetup setup;
    setup.actionsMade = posix_spawn_file_actions_init(&setup.actions) == 0;
    setup.attributesMade = setup.actionsMade && posix_spawnattr_init(&setup.attributes) == 0;
    // The child starts with no signal blocked. Signals this process catches
    // are back at their defaults after exec; those ignored on entry (nohup)
    // stay ignored for the child too. It leads a process group of its own, so
    // that it can be ended with everything it started; and it inherits its
    // standard descriptors, the secret's and nothing else of this process.
    sigset_t none;
    sigemptyset(&none);
    const int firstClosed = secret.fd >= 0 ? SECRET_FD + 1 : SECRET_FD;
    if (!setup.attributesMade || posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(&setup.actions, writing.fd, 1) != 0 ||
        posix_spawn_file_actions_adddup2(&setup.actions, writing.fd, 2) != 0 ||
        (secret.fd >= 0 && posix_spawn_file_actions_adddup2(&setup.actions, secret.fd, SECRET_FD) != 0) ||
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, firstClosed) != 0 ||
        posix_spawnattr_setsigmask(&setup.attributes, &none) != 0 ||
        posix_spawnattr_setpgroup(&setup.attributes, 0) != 0 ||
        posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP) != 0) {
        return ToolRunStopped("could not prepare to start " + program, status, output);
    }
    pid_t pid = 0;
    const int started = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    if (started != 0) {
        return ToolRunStopped("could not start " + program + ": " + std::strerror(started), status, output);
    }
    ToolSetRunningChild(static_cast<intptr_t>(pid));
    writing.Close();
    secret.Close();
    const int flags = fcntl(reading.fd, F_GETFL);
    if (flags >= 0) fcntl(reading.fd, F_SETFL, flags | O_NONBLOCK);

    // Polled, not blocked on: an interruption or the timeout is seen even when
    // the handler restarts calls, and a grandchild that keeps the pipe open
    // cannot hold this process once the child itself has ended.
    const int64_t deadline = options.timeoutSeconds != 0 ? NowMs() + int64_t{1000} * options.timeoutSeconds : 0;
    int stop = 0;  // a TOOL_RUN_ value once the child is ended from here
    bool open = true;
    for (;;) {
        if (ToolInterruption() != 0) {
            StopTree(pid);
            break;
        }
        if (deadline != 0 && NowMs() >= deadline) {
            StopTree(pid);
            stop = TOOL_RUN_TIMED_OUT;
            break;
        }
        if (open) {
            pollfd watch{reading.fd, POLLIN, 0};
            const int ready = poll(&watch, 1, POLL_MS);
            if (ready > 0) open = Drain(reading.fd, output);
        }
        int stopSignal = 0;
        const ChildState state = StateOf(pid, &stopSignal);
        if (state == ChildState::Stopped && (stopSignal == SIGTTIN || stopSignal == SIGTTOU)) {
            // In a group of its own, a prompt on the terminal stops it for good.
            StopTree(pid);
            stop = TOOL_RUN_WANTS_TERMINAL;
            break;
        }
        if (state == ChildState::Ended) {
            if (open) Drain(reading.fd, output);
            break;
        }
        if (!open) poll(nullptr, 0, POLL_MS);
    }
    if (stop != 0 && open) Drain(reading.fd, output);
    ToolSetRunningChild(0);
    const bool reaped = Reap(pid, status);
    return ToolRunEnded(stop, reaped, options, status, output);
}
