// The plain Linux layer the shipped Linux tools run on: only the operations
// they call, straight over POSIX calls, with Windows meaning in what they
// return (error codes, attribute bits, the "Z:\..." paths of posix_common.h).
// No share modes, no fault hooks, no handle table: a file handle is its
// descriptor. It opens files for reading only. The tests run on the simulator
// (sim_*.cpp) instead; operations no tool calls are not defined here, and the
// few that the core's linked objects name fail with ERROR_NOT_SUPPORTED.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix_common.h"

namespace {

// Windows codes used here beyond the shared list.
constexpr uint32_t ERROR_NOT_SUPPORTED_CODE = 50;

// Access rights that would change the file: this layer refuses them.
constexpr uint32_t GENERIC_ALL_ACCESS = 0x10000000u;
constexpr uint32_t FILE_WRITE_DATA_ACCESS = 0x2;
constexpr uint32_t FILE_APPEND_DATA_ACCESS = 0x4;
constexpr uint32_t CHANGING_ACCESS = GENERIC_WRITE | GENERIC_ALL_ACCESS | FILE_WRITE_DATA_ACCESS |
                                     FILE_APPEND_DATA_ACCESS | FILE_WRITE_ATTRIBUTES | DELETE;

thread_local uint32_t t_lastError = 0;

bool Fail(uint32_t code) {
    t_lastError = code;
    return false;
}

template <typename T>
T FailWith(uint32_t code, T result) {
    t_lastError = code;
    return result;
}

// Descriptor plus one: descriptor 0 must not be the null handle the core refuses.
PlatFile Box(int fd) {
    return reinterpret_cast<PlatFile>(static_cast<uintptr_t>(fd) + 1);
}

int Unbox(PlatFile file) {
    const auto value = reinterpret_cast<uintptr_t>(file);
    if (value == 0 || value > static_cast<uintptr_t>(INT_MAX)) return -1;
    return static_cast<int>(value - 1);
}

// Trailing separators dropped (the root stays "/"), so that "dir\" names the
// object itself, as the simulator reads it.
std::string NativeOf(const char16_t* path) {
    std::string native = PosixNativePath(path);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    return native;
}

// What Windows reports for a missing object: 2 when its folder exists, 3 when
// the folder itself is missing or is not a folder.
uint32_t MissingCode(const std::string& native) {
    const size_t slash = native.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    struct stat st;
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

uint32_t PathError(int e, const std::string& native) {
    if (e == ENOENT) return MissingCode(native);
    return e == ENOTDIR ? ERROR_PATH_NOT_FOUND : PosixErrorFromErrno(e);
}

}  // namespace

uint32_t PlatGetLastError() {
    return t_lastError;
}

void PlatSetLastError(uint32_t code) {
    t_lastError = code;
}

void* PlatHeapAlloc(size_t size) {
    // HeapAlloc hands out a block for 0 bytes too.
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return block;
}

void PlatHeapFree(void* block) {
    std::free(block);
}

// CreateFileW for reading an existing file; anything else is not supported here.
PlatFile PlatCreateFile(const char16_t* path, uint32_t access, uint32_t, uint32_t disposition,
                        uint32_t flagsAndAttributes) {
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_PATH_NOT_FOUND, PLAT_INVALID_HANDLE);
    if (disposition != OPEN_EXISTING || (access & CHANGING_ACCESS) != 0 ||
        (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0) {
        return FailWith(ERROR_NOT_SUPPORTED_CODE, PLAT_INVALID_HANDLE);
    }
    const std::string native = NativeOf(path);
    // Non-blocking, so that a pipe's open never waits for a writer.
    const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return FailWith(PathError(errno, native), PLAT_INVALID_HANDLE);
    struct stat st;
    uint32_t refused = ERROR_SUCCESS;
    if (fstat(fd, &st) != 0) {
        refused = PosixErrorFromErrno(errno);
    } else if (S_ISDIR(st.st_mode)) {
        // A folder opens only with backup semantics, which this layer does not offer.
        refused = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0 ? ERROR_NOT_SUPPORTED_CODE
                                                                        : ERROR_ACCESS_DENIED;
    }
    if (refused != ERROR_SUCCESS) {
        close(fd);
        return FailWith(refused, PLAT_INVALID_HANDLE);
    }
    t_lastError = ERROR_SUCCESS;
    return Box(fd);
}

bool PlatReadFile(PlatFile file, void* buffer, uint32_t size, uint32_t* read) {
    if (read != nullptr) *read = 0;
    const int fd = Unbox(file);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
    if (buffer == nullptr && size != 0) return Fail(ERROR_INVALID_PARAMETER);
    uint32_t done = 0;
    const uint32_t error = PosixReadFully(fd, buffer, size, &done);
    if (read != nullptr) *read = done;
    return error != 0 ? Fail(error) : true;
}

uint32_t PlatSetFilePointer(PlatFile file, int32_t distanceLow, int32_t* distanceHigh, uint32_t method) {
    const int fd = Unbox(file);
    if (fd < 0) return FailWith(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
    uint32_t position = 0;
    const uint32_t error = PosixSeek(fd, distanceLow, distanceHigh, method, &position);
    if (error != 0) return FailWith(error, INVALID_SET_FILE_POINTER);
    t_lastError = ERROR_SUCCESS;  // a low half of 0xFFFFFFFF is then told apart from failure
    return position;
}

bool PlatGetFileSizeEx(PlatFile file, uint64_t* size) {
    const int fd = Unbox(file);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
    if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(fd, &st) != 0) return Fail(PosixErrorFromErrno(errno));
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool PlatCloseHandle(PlatFile file) {
    const int fd = Unbox(file);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
    // Linux releases the descriptor even when close reports an error: never retried.
    if (close(fd) != 0 && errno == EBADF) return Fail(ERROR_INVALID_HANDLE);
    return true;
}

// The object itself, links never followed: a link is a reparse point, with the
// folder bit when it leads to a folder; a dot name is hidden.
uint32_t PlatGetFileAttributes(const char16_t* path) {
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    const std::string native = NativeOf(path);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0) return FailWith(PathError(errno, native), INVALID_FILE_ATTRIBUTES);
    uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE;
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        attributes = FILE_ATTRIBUTE_REPARSE_POINT;
        if (stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (S_ISDIR(st.st_mode)) {
        attributes = FILE_ATTRIBUTE_DIRECTORY;
    }
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    const size_t slash = native.find_last_of('/');
    const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
    if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes;
}

// Named by core objects the tools link (the file layer's writes, the error
// box) but never called by them.
bool PlatWriteFile(PlatFile, const void*, uint32_t, uint32_t* written) {
    if (written != nullptr) *written = 0;
    return Fail(ERROR_NOT_SUPPORTED_CODE);
}

void PlatInitCommonControls() {}

int PlatMessageBox(const char16_t*, const char16_t*, uint32_t) {
    return FailWith(ERROR_NOT_SUPPORTED_CODE, 0);
}
