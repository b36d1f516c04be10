// Child processes for the tools over win32 (see tool_host.h).
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tool_command_line.h"
#include "platform/tool_host.h"
#include "platform/tool_host_internal.h"

namespace {

// Output kept from a child: signers print a few lines; a runaway one keeps
// its last megabyte, where its error is.
constexpr size_t OUTPUT_LIMIT = 1 << 20;
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

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], size, nullptr, nullptr);
    return narrow;
}

std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length != 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                                message.back() == L'.')) {
        message.pop_back();
    }
    const std::string number = "error " + std::to_string(code);
    return message.empty() ? number : Narrow(message) + " (" + number + ")";
}

std::string GetEnvironment(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::string();
    std::wstring value(size, L'\0');
    const DWORD got = GetEnvironmentVariableW(name, &value[0], size);
    value.resize(got < size ? got : 0);
    return Narrow(value);
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The extension of the last part of a path, lowercased with its dot ("" when none).
std::string ExtensionOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/:");
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
    return Lower(path.substr(dot));
}

bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The extensions a bare name is tried with: PATHEXT's order, kept to what
// CreateProcessW can start here (programs, and batch files through cmd.exe).
std::vector<std::string> ProgramExtensions() {
    std::vector<std::string> found;
    const std::string list = Lower(GetEnvironment(L"PATHEXT"));
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

void Keep(std::string* output, const char* data, size_t size) {
    output->append(data, size);
    if (output->size() > OUTPUT_LIMIT) output->erase(0, output->size() - OUTPUT_LIMIT);
}
void Keep(std::string* output, const std::string& text) { Keep(output, text.data(), text.size()); }

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
        Keep(output, buffer, got);
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
    const std::string list = GetEnvironment(L"PATH");
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

int ToolRunProgram(const std::vector<std::string>& arguments, std::string* output, const ToolRunOptions& options) {
    output->clear();
    if (arguments.empty() || arguments[0].empty()) {
        *output = "no program to run";
        return TOOL_RUN_FAILED;
    }
    std::string program;
    if (!ToolFindProgram(arguments[0], &program)) {
        *output = arguments[0].find_first_of("\\/:") != std::string::npos ? "no program at " + arguments[0]
                                                                           : arguments[0] + " not found on PATH";
        return TOOL_RUN_FAILED;
    }
    std::vector<std::string> words = arguments;
    words[0] = program;
    std::string application = program;
    std::string line;
    std::string why;
    const std::string extension = ExtensionOf(program);
    if (extension == ".cmd" || extension == ".bat") {
        // A batch file runs in cmd.exe, from the system folder, never searched for.
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            *output = "no system folder for cmd.exe: " + SystemMessage(GetLastError());
            return TOOL_RUN_FAILED;
        }
        application = Narrow(std::wstring(system, length)) + "\\cmd.exe";
        if (!BatchCommandLine(application, words, &line, &why)) {
            *output = why;
            return TOOL_RUN_FAILED;
        }
    } else if (!WindowsCommandLine(words, &line, &why)) {
        *output = why;
        return TOOL_RUN_FAILED;
    }
    std::wstring wideLine = Wide(line);
    if (wideLine.size() >= COMMAND_LINE_LIMIT) {
        *output = "the command line for " + program + " is longer than Windows allows";
        return TOOL_RUN_FAILED;
    }

    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle reading;
    Handle writing;
    if (!CreatePipe(&reading.value, &writing.value, &inherited, 0) ||
        !SetHandleInformation(reading.value, HANDLE_FLAG_INHERIT, 0)) {
        *output = "no pipe for the program's output: " + SystemMessage(GetLastError());
        return TOOL_RUN_FAILED;
    }
    // Standard input: the secret through a pipe, written whole before the
    // child starts (the pipe is made big enough) and closed; else nothing.
    Handle input;
    if (options.secret != nullptr) {
        Handle secretWriting;
        if (options.secret->size() > SECRET_LIMIT) {
            *output = "the secret handed to " + program + " is longer than " + std::to_string(SECRET_LIMIT) + " bytes";
            return TOOL_RUN_FAILED;
        }
        const DWORD size = static_cast<DWORD>(2 * SECRET_LIMIT);
        DWORD written = 0;
        if (!CreatePipe(&input.value, &secretWriting.value, &inherited, size) ||
            !SetHandleInformation(secretWriting.value, HANDLE_FLAG_INHERIT, 0) ||
            (!options.secret->empty() &&
             (!WriteFile(secretWriting.value, options.secret->data(), static_cast<DWORD>(options.secret->size()),
                         &written, nullptr) ||
              written != options.secret->size()))) {
            *output = "no pipe for the signer's secret: " + SystemMessage(GetLastError());
            return TOOL_RUN_FAILED;
        }
    } else {
        input.value = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING,
                                  0, nullptr);
        if (input.value == INVALID_HANDLE_VALUE) {
            *output = "could not open NUL for the program's input: " + SystemMessage(GetLastError());
            return TOOL_RUN_FAILED;
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
        *output = "could not prepare to start " + program + ": " + SystemMessage(GetLastError());
        return TOOL_RUN_FAILED;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.value;
    startup.StartupInfo.hStdOutput = writing.value;
    startup.StartupInfo.hStdError = writing.value;
    startup.lpAttributeList = attributes.List();
    PROCESS_INFORMATION started{};
    const std::wstring wideApplication = Wide(application);
    // Started suspended, so that it is in its job before it can start anything.
    Handle job;
    job.value = MakeJob();
    if (!CreateProcessW(wideApplication.c_str(), &wideLine[0], nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED, nullptr, nullptr, &startup.StartupInfo,
                        &started)) {
        *output = "could not start " + program + ": " + SystemMessage(GetLastError());
        return TOOL_RUN_FAILED;
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
    int result = 0;
    bool open = true;
    for (;;) {
        if (ToolInterruption() != 0) {
            StopTree(process.value, job.value);
            break;
        }
        if (deadline != 0 && GetTickCount64() >= deadline) {
            StopTree(process.value, job.value);
            result = TOOL_RUN_TIMED_OUT;
            break;
        }
        if (open) open = Drain(reading.value, output);
        if (WaitForSingleObject(process.value, POLL_MS) == WAIT_OBJECT_0) {
            if (open) Drain(reading.value, output);
            break;
        }
    }
    if (result == 0 && job.value != nullptr && ToolInterruption() == 0) ReleaseJob(job.value);
    ToolSetRunningChild(0);
    DWORD code = 0;
    const bool known = GetExitCodeProcess(process.value, &code) != 0 && code != STILL_ACTIVE;
    if (ToolInterruption() != 0) {
        Keep(output, "\n(interrupted)");
        return TOOL_RUN_FAILED;
    }
    if (result != 0) return result;
    if (!known) return TOOL_RUN_FAILED;
    if (code > 0x7FFFFFFF) {
        // A crash's status (0xC0000005...) does not fit the result: say it.
        const char* digits = "0123456789ABCDEF";
        std::string hex;
        for (int i = 0; i < 8; ++i) hex += digits[(code >> (28 - 4 * i)) & 15];
        Keep(output, "\n(the program ended with status 0x" + hex + ")");
        return 255;
    }
    return static_cast<int>(code);
}
