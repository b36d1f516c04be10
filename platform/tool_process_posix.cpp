// Child processes for the tools over posix (see tool_host.h).
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
#include <string>
#include <vector>

#include "platform/tool_host.h"
#include "platform/tool_host_internal.h"

extern char** environ;

namespace {

// Output kept from a child: signers print a few lines; a runaway one keeps
// its last megabyte, where its error is.
constexpr size_t OUTPUT_LIMIT = 1 << 20;
// How long a child stopped by an interruption gets to end before it is killed.
constexpr int STOP_GRACE_MS = 2000;
constexpr int POLL_MS = 50;

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

void Keep(std::string* output, const char* data, size_t size) {
    output->append(data, size);
    if (output->size() > OUTPUT_LIMIT) output->erase(0, output->size() - OUTPUT_LIMIT);
}

// Reads what the pipe holds now; false at its end (every writer closed it).
bool Drain(int fd, std::string* output) {
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            Keep(output, buffer, static_cast<size_t>(got));
            continue;
        }
        if (got == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Whether the child has ended, without reaping it: the pid stays the child's
// until the record the interruption handler reads is cleared.
bool HasEnded(pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) return true;  // nothing left to wait for
    }
    return info.si_pid == pid;
}

// Asks the child to end, then ends it; returns once it has ended.
void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int waited = 0; waited < STOP_GRACE_MS; waited += POLL_MS) {
        if (HasEnded(pid)) return;
        poll(nullptr, 0, POLL_MS);
    }
    kill(pid, SIGKILL);
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

int Reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

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

int ToolRunProgram(const std::vector<std::string>& arguments, std::string* output) {
    output->clear();
    if (arguments.empty() || arguments[0].empty()) {
        *output = "no program to run";
        return -1;
    }
    std::string program;
    if (!ToolFindProgram(arguments[0], &program)) {
        *output = arguments[0].find('/') != std::string::npos ? "not an executable program: " + arguments[0]
                                                               : arguments[0] + " not found on PATH";
        return -1;
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        *output = std::string("no pipe for the program's output: ") + std::strerror(errno);
        return -1;
    }
    Descriptor reading(ends[0]);
    Descriptor writing(ends[1]);

    SpawnSetup setup;
    setup.actionsMade = posix_spawn_file_actions_init(&setup.actions) == 0;
    setup.attributesMade = setup.actionsMade && posix_spawnattr_init(&setup.attributes) == 0;
    // The child starts with no signal blocked. Signals this process catches
    // are back at their defaults after exec; those ignored on entry (nohup)
    // stay ignored for the child too.
    sigset_t none;
    sigemptyset(&none);
    if (!setup.attributesMade || posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(&setup.actions, writing.fd, 1) != 0 ||
        posix_spawn_file_actions_adddup2(&setup.actions, writing.fd, 2) != 0 ||
        posix_spawnattr_setsigmask(&setup.attributes, &none) != 0 ||
        posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK) != 0) {
        *output = "could not prepare to start " + program;
        return -1;
    }
    pid_t pid = 0;
    const int started = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    if (started != 0) {
        *output = "could not start " + program + ": " + std::strerror(started);
        return -1;
    }
    ToolSetRunningChild(static_cast<intptr_t>(pid));
    writing.Close();
    const int flags = fcntl(reading.fd, F_GETFL);
    if (flags >= 0) fcntl(reading.fd, F_SETFL, flags | O_NONBLOCK);

    // Polled, not blocked on: an interruption is seen even when the handler
    // restarts calls, and a grandchild that keeps the pipe open cannot hold
    // this process once the child itself has ended.
    bool open = true;
    for (;;) {
        if (ToolInterruption() != 0) {
            Stop(pid);
            break;
        }
        if (open) {
            pollfd watch{reading.fd, POLLIN, 0};
            const int ready = poll(&watch, 1, POLL_MS);
            if (ready > 0) open = Drain(reading.fd, output);
        }
        if (HasEnded(pid)) {
            if (open) Drain(reading.fd, output);
            break;
        }
        if (!open) poll(nullptr, 0, POLL_MS);
    }
    ToolSetRunningChild(0);
    const int status = Reap(pid);
    if (ToolInterruption() != 0) {
        output->append("\n(interrupted)");
        return -1;
    }
    return status;
}
