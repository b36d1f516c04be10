// The tool host over POSIX (see tool_host.h): arguments, the terminal, files
// by name and paths. Outputs, work folders and interruptions are in
// tool_output_posix.cpp.
#include "platform/tool_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool Fail(std::string* why, const std::string& what, int error) {
    if (why != nullptr) *why = what + ": " + std::strerror(error);
    return false;
}

// Writes all of text to a descriptor; a closed pipe or a full disk loses the
// rest, as there is nowhere left to say so.
void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Reads until capacity bytes or the end of the file.
bool ReadFully(int fd, uint8_t* buffer, size_t capacity, size_t* got, int* error) {
    *got = 0;
    while (*got < capacity) {
        const ssize_t n = read(fd, buffer + *got, capacity - *got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            return false;
        }
        if (n == 0) break;
        *got += static_cast<size_t>(n);
    }
    return true;
}

// The path without trailing separators ("/" stays).
std::string Trimmed(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    return path.substr(0, end);
}

}  // namespace

// ---- arguments, environment, terminal -------------------------------------------

std::vector<std::string> ToolArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
    return arguments;
}

bool ToolGetEnv(const char* name, std::string* value) {
    const char* found = std::getenv(name);
    if (found == nullptr) return false;
    *value = found;
    return true;
}

bool ToolStderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void ToolWriteOut(const std::string& text) { WriteAll(STDOUT_FILENO, text); }
void ToolWriteErr(const std::string& text) { WriteAll(STDERR_FILENO, text); }

// ---- files by name --------------------------------------------------------------

ToolFile::~ToolFile() {
    if (handle >= 0) close(static_cast<int>(handle));
}

bool ToolOpenRead(const std::string& path, ToolFile* file, uint64_t* size, std::string* why) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(why, "cannot open " + path, errno);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return Fail(why, "cannot read " + path, error);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        if (why != nullptr) *why = path + (S_ISDIR(st.st_mode) ? " is a folder, not a file" : " is not a regular file");
        return false;
    }
    if (file->handle >= 0) close(static_cast<int>(file->handle));
    file->handle = fd;
    if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool ToolRead(ToolFile* file, uint8_t* buffer, size_t capacity, size_t* got, std::string* why) {
    int error = 0;
    if (ReadFully(static_cast<int>(file->handle), buffer, capacity, got, &error)) return true;
    return Fail(why, "cannot read a file", error);
}

bool ToolSameFile(const std::string& a, const std::string& b) {
    struct stat sa;
    struct stat sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool ToolIsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A dangling link counts: renaming an output over it would replace it.
bool ToolExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string ToolFolderOf(const std::string& path) {
    const std::string trimmed = Trimmed(path);
    const size_t slash = trimmed.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return Trimmed(trimmed.substr(0, slash));
}

std::string ToolNameOf(const std::string& path) {
    const std::string trimmed = Trimmed(path);
    const size_t slash = trimmed.find_last_of('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string ToolJoin(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool ToolFreeSpace(const std::string& folder, uint64_t* bytes) {
    struct statvfs vfs;
    if (statvfs(folder.c_str(), &vfs) != 0) return false;
    *bytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
    return true;
}

// Empty when the link cannot be read (no /proc mounted).
std::string ToolOwnFolder() {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", &target[0], target.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            return ToolFolderOf(target);
        }
        target.resize(target.size() * 2);
    }
}
