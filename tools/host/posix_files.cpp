// The tool host over POSIX (see host.h): arguments, the terminal, files by
// name, the temporary folder. Outputs, work folders and interruptions are in
// posix_output.cpp, children in posix_process.cpp.
#include "tools/host/host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tools/host/host_internal.h"

namespace fs = std::filesystem;

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
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

bool ToolIsFolder(const std::string& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

// A dangling link counts: renaming an output over it would replace it.
bool ToolExists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

fs::path ToolFsPath(const std::string& path) { return fs::path(path); }

// TMPDIR as POSIX names it, /tmp when it is unset or empty. (The standard
// library's temp_directory_path fails on an empty TMPDIR and reads Windows'
// TMP and TEMP too.)
bool ToolTemporaryFolder(std::string* folder, std::string*) {
    if (!ToolGetEnv("TMPDIR", folder) || folder->empty()) *folder = "/tmp";
    return true;
}

// Empty when the link cannot be read (no /proc mounted).
std::string ToolOwnFolder() {
    std::error_code error;
    const fs::path own = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : ToolFolderOf(own.native());
}

// No trust services on this OS: the tools build the answer themselves.
ToolTrustCheck ToolMachineTrust() { return nullptr; }
