// The Windows file-system simulator (test double over real Linux files; the
// tests' backend, never a shipped one): its shared state: the fault hook,
// Windows error codes for errno values, paths, attribute bits and the table of
// open handles; and the UTF-16 text and path conversions the tests use too.
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

uint32_t ErrorFromErrno(int e) {
    switch (e) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EBADF: return ERROR_INVALID_HANDLE;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES_CODE;
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case EBUSY: return ERROR_BUSY_CODE;
        case EROFS: return ERROR_WRITE_PROTECT_CODE;
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME_CODE;
        case EXDEV: return ERROR_NOT_SAME_DEVICE_CODE;
        case EFBIG: return ERROR_FILE_TOO_LARGE_CODE;
        default: return ERROR_GEN_FAILURE_CODE;
    }
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

namespace {

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool StartsWith(const std::u16string& text, const char16_t* prefix) {
    const size_t n = std::char_traits<char16_t>::length(prefix);
    return text.size() >= n && text.compare(0, n, prefix) == 0;
}

}  // namespace

// Lossless both ways for file names: a lone surrogate is written as its 3-byte
// form, and a byte that is not UTF-8 reads as U+DC80..U+DCFF and is written
// back as that byte.
std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            const uint32_t cp = 0x10000u + ((static_cast<uint32_t>(c) - 0xD800u) << 10) +
                                (static_cast<uint32_t>(text[i + 1]) - 0xDC00u);
            AppendUtf8(out, cp);
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out += static_cast<char>(c - 0xDC00);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        uint32_t cp = 0;
        size_t length = 0;
        uint32_t minimum = 0;
        if (b < 0x80) {
            cp = b;
            length = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1Fu;
            length = 2;
            minimum = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0Fu;
            length = 3;
            minimum = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07u;
            length = 4;
            minimum = 0x10000;
        }
        bool valid = length != 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                valid = false;
            } else {
                cp = (cp << 6) | (s[i + k] & 0x3Fu);
            }
        }
        if (valid && (cp < minimum || cp > 0x10FFFF)) valid = false;
        if (!valid) {
            out += static_cast<char16_t>(0xDC00 + b);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += length;
    }
    return out;
}

std::string PosixNativePath(const char16_t* path) {
    if (path == nullptr) return std::string();
    std::u16string p(path);
    std::string prefix;
    if (StartsWith(p, u"\\\\?\\UNC\\")) {
        p.erase(0, 8);
        prefix = "//";
    } else if (StartsWith(p, u"\\\\?\\")) {
        p.erase(0, 4);
    }
    if (prefix.empty() && p.size() >= 2 && IsAsciiLetter(p[0]) && p[1] == u':') {
        // Every drive is the Linux root, as Wine's Z:.
        p.erase(0, 2);
        if (p.empty() || (p[0] != u'\\' && p[0] != u'/')) prefix = "/";
    }
    for (char16_t& c : p) {
        if (c == u'\\') c = u'/';
    }
    return prefix + Utf16ToUtf8(p);
}

std::u16string PosixWidePath(const std::string& nativePath) {
    std::u16string wide = Utf8ToUtf16(nativePath);
    for (char16_t& c : wide) {
        if (c == u'/') c = u'\\';
    }
    if (StartsWith(wide, u"\\\\") && !StartsWith(wide, u"\\\\\\")) return wide;  // //server/share
    if (!wide.empty() && wide[0] == u'\\') return u"Z:" + wide;
    return wide;
}

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
        "GetFinalPath",     "ModuleIsFile",             "Sleep"};
    static_assert(sizeof(names) / sizeof(names[0]) == static_cast<size_t>(PlatOp::Count), "one name per operation");
    const int i = static_cast<int>(op);
    if (i < 0 || i >= static_cast<int>(PlatOp::Count)) return "Unknown";
    return names[i];
}
