// The Windows file-system simulator (test double over real Linux files; the
// tests' backend, never a shipped one): its shared state: the fault hook,
// paths, attribute bits and the table of open handles. Text and path
// conversions and errno codes are in posix_common.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/sim_internal.h"

namespace sim_backend {

int32_t HresultFromWin32(uint32_t code) {
    return static_cast<int32_t>(0x80070000u | (code & 0xFFFFu));
}

thread_local uint32_t t_lastError = 0;

std::mutex g_lock;
Controls g_controls;
std::atomic<uint64_t> g_calls[static_cast<int>(PlatOp::Count)];
std::atomic<size_t> g_heapBlocks{0};
std::map<std::pair<dev_t, ino_t>, uint32_t> g_extraAttributes;
std::vector<Handle*> g_handles;
std::set<void*> g_localBlocks;

// Counts the call and asks the fault hook; the hook runs outside the lock so it
// may use the controls itself.
FaultAction Enter(PlatOp op, const char16_t* path) {
    g_calls[static_cast<int>(op)].fetch_add(1, std::memory_order_relaxed);
    FaultHook hook;
    void* context;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        hook = g_controls.hook;
        context = g_controls.hookContext;
    }
    if (hook == nullptr) return FaultAction{};
    return hook(op, path, context);
}

// True when the hook asked for a failure; the call then leaves its error.
bool Injected(const FaultAction& action) {
    if (action.kind != FaultAction::Fail) return false;
    t_lastError = action.error;
    return true;
}

bool Fail(uint32_t code) {
    t_lastError = code;
    return false;
}

// Trailing separators dropped (the root stays "/"), so that "dir\" names the
// folder or link itself: lstat("link/") would follow the link.
std::string StripTrailing(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string ParentOf(const std::string& path) {
    const std::string p = StripTrailing(path);
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
    const std::string p = StripTrailing(path);
    const size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// What Windows reports for a missing object: 2 when its folder exists, 3 when
// the folder itself is missing or is not a folder.
uint32_t MissingCode(const std::string& path) {
    struct stat st;
    if (stat(ParentOf(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

uint32_t PathError(int e, const std::string& path) {
    return e == ENOENT ? MissingCode(path) : ErrorFromErrno(e);
}

bool IsDotName(const std::string& name) {
    return name == "." || name == "..";
}

std::string Win32NativePath(const char16_t* path) {
    const std::string native = PosixNativePath(path);
    if (path == nullptr || std::u16string(path).compare(0, 4, u"\\\\?\\") == 0) return native;
    std::string out;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(native.find('/', start), native.size());
        std::string name = native.substr(start, end - start);
        if (!IsDotName(name)) {
            while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
        }
        // A name trimmed away leaves an empty one between two separators, which Linux skips.
        out += name;
        if (end == native.size()) return out;
        out += '/';
        start = end + 1;
    }
}

namespace {

uint32_t ExtraAttributes(const struct stat& st) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto found = g_extraAttributes.find({st.st_dev, st.st_ino});
    return found != g_extraAttributes.end() ? found->second : 0;
}

constexpr uint32_t FILE_READ_DATA_ACCESS = 0x1;
constexpr uint32_t FILE_WRITE_DATA_ACCESS = 0x2;
constexpr uint32_t FILE_APPEND_DATA_ACCESS = 0x4;

}  // namespace

// Attribute bits of the object itself (st from lstat): links are reported as
// links, with the folder bit when they are folder links (made to a folder).
uint32_t AttributesOf(const struct stat& st, const std::string& name, bool folderLink) {
    uint32_t attributes;
    if (S_ISLNK(st.st_mode)) {
        attributes = FILE_ATTRIBUTE_REPARSE_POINT;
        if (folderLink) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (S_ISDIR(st.st_mode)) {
        attributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        attributes = FILE_ATTRIBUTE_ARCHIVE;
    }
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.' && !IsDotName(name)) attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes | ExtraAttributes(st);
}

// A link is a folder link when it was made to a folder: a test makes links
// to folders as folder links, as Windows would.
bool IsFolderLinkAt(int folder, const std::string& name) {
    struct stat target;
    return fstatat(folder, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode);
}

bool WantsRead(uint32_t access) {
    return (access & (GENERIC_READ | GENERIC_ALL_ACCESS | FILE_READ_DATA_ACCESS)) != 0;
}

bool WantsWrite(uint32_t access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL_ACCESS | FILE_WRITE_DATA_ACCESS | FILE_APPEND_DATA_ACCESS)) != 0;
}

bool WantsDelete(uint32_t access) {
    return (access & (DELETE | GENERIC_ALL_ACCESS)) != 0;
}

Handle* NewHandle(Kind kind, const char16_t* path, const struct stat& st) {
    auto* handle = new Handle{};
    handle->kind = kind;
    handle->path = path;
    handle->dev = st.st_dev;
    handle->ino = st.st_ino;
    return handle;
}

Handle* FindHandleLocked(void* value, Kind kind) {
    if (value == nullptr || value == PLAT_INVALID_HANDLE) return nullptr;
    for (Handle* h : g_handles) {
        if (h == value && h->kind == kind) return h;
    }
    return nullptr;
}

Handle* LookUp(void* value, Kind kind) {
    std::lock_guard<std::mutex> guard(g_lock);
    return FindHandleLocked(value, kind);
}

void Forget(Handle* handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_handles.erase(std::remove(g_handles.begin(), g_handles.end(), handle), g_handles.end());
}

const char16_t* HookPath(const Handle* handle) {
    return handle == nullptr ? nullptr : handle->path.c_str();
}

// Share-mode check of a new open against this process's open handles and
// loaded libraries of the same file. Caller holds the lock.
uint32_t OpenConflictLocked(dev_t dev, ino_t ino, uint32_t access, uint32_t share) {
    for (const Handle* h : g_handles) {
        if (h->dev != dev || h->ino != ino) continue;
        if (h->kind == Kind::File) {
            if ((WantsRead(access) && (h->share & FILE_SHARE_READ) == 0) ||
                (WantsWrite(access) && (h->share & FILE_SHARE_WRITE) == 0) ||
                (WantsDelete(access) && (h->share & FILE_SHARE_DELETE) == 0) ||
                (WantsRead(h->access) && (share & FILE_SHARE_READ) == 0) ||
                (WantsWrite(h->access) && (share & FILE_SHARE_WRITE) == 0) ||
                (WantsDelete(h->access) && (share & FILE_SHARE_DELETE) == 0)) {
                return ERROR_SHARING_VIOLATION;
            }
        } else if (h->kind == Kind::Library && WantsWrite(access)) {
            // A mapped image can be read but never written.
            return ERROR_SHARING_VIOLATION;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace sim_backend

const char* PlatOpName(PlatOp op) {
    static const char* const names[] = {
        "HeapAlloc",        "SetDefaultDllDirectories", "GetModuleFileName",   "CreateFile",
        "CreateFileAt",     "ReadFile",                 "WriteFile",           "SetFilePointer",
        "GetFileSizeEx",    "CloseHandle",              "SetEndOfFile",        "GetHandleAttributes",
        "SetHandleAttributes", "DeleteByHandle",        "GetFileAttributes",   "CreateDirectory",
        "FindFirstFileAt",  "FindNextFile",             "FindClose",           "GetLocalAppDataFolder",
        "LoadLibraryEx",    "GetProcAddress",           "FreeLibrary",         "CommandLineToArgv",
        "MessageBox",       "LoadString",               "VerifyTrust",         "GetFileId",
        "LoadTrustServices", "CreateFolderAt",          "GetLinkCount",        "RenameByHandle",
        "GetFinalPath",     "OpenMappedFile",             "Sleep"};
    static_assert(sizeof(names) / sizeof(names[0]) == static_cast<size_t>(PlatOp::Count), "one name per operation");
    const int i = static_cast<int>(op);
    if (i < 0 || i >= static_cast<int>(PlatOp::Count)) return "Unknown";
    return names[i];
}
