// Child processes for the tools over Win32 (see host.h).
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/host/command_line.h"
#include "tools/host/host.h"
#include "tools/host/host_internal.h"
#include "tools/host/text.h"
#include "tools/host/win32_text.h"

namespace {

constexpr DWORD POLL_MS = 50;
constexpr DWORD STOP_WAIT_MS = 5000;
// A secret handed on standard input is written whole before the child
// starts, into a pipe twice as big: a password (signers read 4 KiB at most).
constexpr size_t SECRET_LIMIT = 4096;
// CreateProcessW's limit on the command line, in UTF-16 units with its NUL.
constexpr size_t COMMAND_LINE_LIMIT = 32767;

// A kernel handle closed by its destructor.
struct Handle {
    HANDLE value = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }
    void Close() {
        if (value != nullptr && value != INVALID_HANDLE_VALUE) CloseHandle(value);
        value = nullptr;
    }
};

// The attribute list that limits what a child inherits, deleted with the scope.
struct AttributeList {
    std::vector<unsigned char> block;
    bool made = false;
    AttributeList() = default;
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    ~AttributeList() {
        if (made) DeleteProcThreadAttributeList(List());
    }
    LPPROC_THREAD_ATTRIBUTE_LIST List() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(block.data()); }
};

std::string Environment(const char* name) {
    std::string value;
    return ToolGetEnv(name, &value) ? value : std::string();
}

// The extension of the last part of a path, lowercased with its dot ("" when none).
std::string ExtensionOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/:");
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
    return LowerAscii(path.substr(dot));
}

bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(ToolWidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The extensions a bare name is tried with: PATHEXT's order, kept to what
// CreateProcessW can start here (programs, and batch files through cmd.exe).
std::vector<std::string> ProgramExtensions() {
    std::vector<std::string> found;
    const std::string list = LowerAscii(Environment("PATHEXT"));
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        const std::string extension = list.substr(start, end - start);
        start = end + 1;
        if (extension == ".exe" || extension == ".cmd" || extension == ".bat") found.push_back(extension);
    }
    if (found.empty()) found = {".exe", ".cmd", ".bat"};
    return found;
}

bool IsRunnableExtension(const std::string& extension) {
    return extension == ".exe" || extension == ".cmd" || extension == ".bat" || extension == ".com";
}

// The file a name stands for in one place: as given when it already ends in
// a runnable extension, else with each extension in turn.
bool FindAs(const std::string& base, const std::vector<std::string>& extensions, std::string* path) {
    if (IsRunnableExtension(ExtensionOf(base))) {
        if (!IsFile(base)) return false;
        *path = base;
        return true;
    }
    for (const std::string& extension : extensions) {
        if (IsFile(base + extension)) {
            *path = base + extension;
            return true;
        }
    }
    return false;
}

// Only absolute PATH entries: a relative one would search the current folder.
bool IsAbsolute(const std::string& folder) {
    if (folder.size() >= 3 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/')) return true;
    return folder.size() >= 2 && (folder[0] == '\\' || folder[0] == '/') && (folder[1] == '\\' || folder[1] == '/');
}

// Reads what the pipe holds now; false once every writer has closed it.
bool Drain(HANDLE pipe, std::string* output) {
    char buffer[8192];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) return true;
        DWORD got = 0;
        const DWORD wanted = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
        if (!ReadFile(pipe, buffer, wanted, &got, nullptr)) return false;
        ToolKeepOutput(output, buffer, got);
    }
}

// A job the child and everything it starts belong to: ended together by
// TerminateJobObject, and by the system when this process ends however it
// ends (the last handle to the job closes). Null where jobs cannot be made:
// then only the child itself can be ended.
HANDLE MakeJob() {
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// A child that ended by itself keeps what it started running, as without the
// job: the job stops killing at its close.
void ReleaseJob(HANDLE job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

// Ends the child and, through its job, every process it started.
void StopTree(HANDLE process, HANDLE job) {
    if (job != nullptr) TerminateJobObject(job, ERROR_CANCELLED);
    TerminateProcess(process, ERROR_CANCELLED);
    WaitForSingleObject(process, STOP_WAIT_MS);
}

}  // namespace

const char* ToolSecretName() { return "-"; }

bool ToolFindProgram(const std::string& name, std::string* path) {
    if (name.empty()) return false;
    const std::vector<std::string> extensions = ProgramExtensions();
    if (name.find_first_of("\\/:") != std::string::npos) return FindAs(name, extensions, path);
    // Only the PATH entries: never the current folder, never the program's own.
    const std::string list = Environment("PATH");
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        std::string folder = list.substr(start, end - start);
        start = end + 1;
        if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
            folder = folder.substr(1, folder.size() - 2);
        }
        if (folder.empty() || !IsAbsolute(folder)) continue;
        const char last = folder.back();
        const std::string base = last == '\\' || last == '/' ? folder + name : folder + "\\" + name;
        if (FindAs(base, extensions, path)) return true;
    }
    return false;
}

bool ToolRunFound(const std::string& program, const std::vector<std::string>& arguments, int* status,
                  std::string* output, const ToolRunOptions& options) {
    std::string why;
    std::vector<std::string> words = arguments;
    words[0] = program;
    std::string application = program;
    std::string line;
    const std::string extension = ExtensionOf(program);
    if (extension == ".cmd" || extension == ".bat") {
        // A batch file runs in cmd.exe, from the system folder, never searched for.
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            return ToolRunStopped(ToolWinReason("no system folder for cmd.exe", GetLastError()), status, output);
        }
        application = ToolUtf8(system, length) + "\\cmd.exe";
        if (!BatchCommandLine(application, words, &line, &why)) return ToolRunStopped(why, status, output);
    } else if (!WindowsCommandLine(words, &line, &why)) {
        return ToolRunStopped(why, status, output);
    }
    std::wstring wideLine = ToolWide(line);
    if (wideLine.empty() || wideLine.size() >= COMMAND_LINE_LIMIT) {
        return ToolRunStopped("the command line for " + program + " is longer than Windows allows, or not UTF-8",
                              status, output);
    }

    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle reading;
    Handle writing;
    if (!CreatePipe(&reading.value, &writing.value, &inherited, 0) ||
        !SetHandleInformation(reading.value, HANDLE_FLAG_INHERIT, 0)) {
        return ToolRunStopped(ToolWinReason("no pipe for the program's output", GetLastError()), status, output);
    }
    // Standard input: the secret through a pipe, written whole before the
    // child starts (the pipe is made big enough) and closed; else nothing.
    Handle input;
    if (options.secret != nullptr) {
        Handle secretWriting;
        if (options.secret->size() > SECRET_LIMIT) {
            const std::string limit = std::to_string(SECRET_LIMIT);
            return ToolRunStopped("the secret handed to " + program + " is longer than " + limit + " bytes", status,
                                  output);
        }
        const DWORD size = static_cast<DWORD>(2 * SECRET_LIMIT);
        DWORD written = 0;
        if (!CreatePipe(&input.value, &secretWriting.value, &inherited, size) ||
            !SetHandleInformation(secretWriting.value, HANDLE_FLAG_INHERIT, 0) ||
            (!options.secret->empty() &&
             (!WriteFile(secretWriting.value, options.secret->data(), static_cast<DWORD>(options.secret->size()),
                         &written, nullptr) ||
              written != options.secret->size()))) {
            return ToolRunStopped(ToolWinReason("no pipe for the signer's secret", GetLastError()), status, output);
        }
    } else {
        input.value = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING,
                                  0, nullptr);
        if (input.value == INVALID_HANDLE_VALUE) {
            return ToolRunStopped(ToolWinReason("could not open NUL for the program's input", GetLastError()),
                                  status, output);
        }
    }

    // The child inherits these two handles and no other the process holds.
    HANDLE inheritedHandles[2] = {writing.value, input.value};
    AttributeList attributes;
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    attributes.block.resize(listSize);
    attributes.made = listSize != 0 && InitializeProcThreadAttributeList(attributes.List(), 1, 0, &listSize);
    if (!attributes.made || !UpdateProcThreadAttribute(attributes.List(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                       inheritedHandles, sizeof inheritedHandles, nullptr, nullptr)) {
        return ToolRunStopped(ToolWinReason("could not prepare to start " + program, GetLastError()), status, output);
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.value;
    startup.StartupInfo.hStdOutput = writing.value;
    startup.StartupInfo.hStdError = writing.value;
    startup.lpAttributeList = attributes.List();
    PROCESS_INFORMATION started{};
    const std::wstring wideApplication = ToolWide(application);
    // Started suspended, so that it is in its job before it can start anything.
    Handle job;
    job.value = MakeJob();
    if (!CreateProcessW(wideApplication.c_str(), &wideLine[0], nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED, nullptr, nullptr, &startup.StartupInfo,
                        &started)) {
        return ToolRunStopped(ToolWinReason("could not start " + program, GetLastError()), status, output);
    }
    Handle process;
    process.value = started.hProcess;
    if (job.value != nullptr && !AssignProcessToJobObject(job.value, process.value)) job.Close();
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    ToolSetRunningChild(reinterpret_cast<intptr_t>(process.value));
    // Only the child holds the write end now: the pipe ends when it does.
    writing.Close();
    input.Close();

    // Polled: an interruption or the timeout is seen at once, and a
    // grandchild that keeps the pipe open cannot hold this process once the
    // child itself has ended.
    const ULONGLONG deadline =
        options.timeoutSeconds != 0 ? GetTickCount64() + 1000ull * options.timeoutSeconds : 0;
    int stop = 0;  // a TOOL_RUN_ value once the child is ended from here
    bool open = true;
    for (;;) {
        if (ToolInterruption() != 0) {
            StopTree(process.value, job.value);
            break;
        }
        if (deadline != 0 && GetTickCount64() >= deadline) {
            StopTree(process.value, job.value);
            stop = TOOL_RUN_TIMED_OUT;
            break;
        }
        if (open) open = Drain(reading.value, output);
        if (WaitForSingleObject(process.value, POLL_MS) == WAIT_OBJECT_0) {
            if (open) Drain(reading.value, output);
            break;
        }
    }
    if (stop == 0 && job.value != nullptr && ToolInterruption() == 0) ReleaseJob(job.value);
    ToolSetRunningChild(0);
    DWORD code = 0;
    const bool known = GetExitCodeProcess(process.value, &code) != 0 && code != STILL_ACTIVE;
    if (!ToolRunEnded(stop, known, options, status, output)) return false;
    *status = static_cast<int>(code);
    if (code > 0x7FFFFFFF) {
        // A crash's status (0xC0000005...) does not fit the status: say it.
        output->append("\n(the program ended with status 0x" + HexNumber(code, 8, true) + ")");
        *status = 255;
    }
    return true;
}
