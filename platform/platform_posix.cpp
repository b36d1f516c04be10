// The posix backend: the platform operations over real Linux files, folders
// and shared objects, behaving the way Windows does where the launcher's logic
// depends on it (error codes, attribute bits, share modes, read-only files,
// loaded libraries, links never followed by attribute queries or removals),
// plus the controls that native tests use in place of what Windows supplies.
#include "platform/platform.h"
#include "platform/posix_control.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace {

// Windows codes used here beyond the shared list.
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES_CODE = 4;
constexpr uint32_t ERROR_NOT_SAME_DEVICE_CODE = 17;
constexpr uint32_t ERROR_WRITE_PROTECT_CODE = 19;
constexpr uint32_t ERROR_GEN_FAILURE_CODE = 31;
constexpr uint32_t ERROR_FILE_EXISTS_CODE = 80;
constexpr uint32_t ERROR_INVALID_NAME_CODE = 123;
constexpr uint32_t ERROR_INVALID_FUNCTION_CODE = 1;
constexpr uint32_t ERROR_NEGATIVE_SEEK_CODE = 131;
constexpr uint32_t ERROR_BUSY_CODE = 170;
constexpr uint32_t ERROR_FILE_TOO_LARGE_CODE = 223;
constexpr uint32_t ERROR_RESOURCE_NAME_NOT_FOUND_CODE = 1814;
constexpr uint32_t ERROR_CANT_RESOLVE_FILENAME_CODE = 1921;

constexpr int32_t E_FAIL_RESULT = static_cast<int32_t>(0x80004005u);
constexpr uint32_t CREATE_NEW_DISPOSITION = 1;
constexpr uint32_t OPEN_ALWAYS_DISPOSITION = 4;
constexpr uint32_t TRUNCATE_EXISTING_DISPOSITION = 5;
constexpr uint32_t GENERIC_ALL_ACCESS = 0x10000000u;

int32_t HresultFromWin32(uint32_t code) {
    return static_cast<int32_t>(0x80070000u | (code & 0xFFFFu));
}

thread_local uint32_t t_lastError = 0;

// ---- controls ----------------------------------------------------------------

struct Controls {
    FaultHook hook = nullptr;
    void* hookContext = nullptr;
    std::map<uint32_t, std::u16string> strings;
    bool appDataSet = false;
    std::u16string appData;
    int32_t appDataResult = E_FAIL_RESULT;
    bool moduleSet = false;
    std::u16string modulePath;
    std::u16string commandLine = u"\"launcher.exe\"";
    uint32_t trustResult = PLAT_TRUST_OK;
    std::u16string signer = u"Vorlane";
    uint32_t chainErrors = 0;
    std::vector<PosixMessageBox> boxes;
};

std::mutex g_lock;  // guards g_controls, g_handles and g_localBlocks
Controls g_controls;
std::atomic<uint64_t> g_calls[static_cast<int>(PlatOp::Count)];
std::atomic<size_t> g_heapBlocks{0};

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

template <typename T>
T FailWith(uint32_t code, T result) {
    t_lastError = code;
    return result;
}

// ---- errors and paths ------------------------------------------------------------

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

// Attribute bits of the object itself (st from lstat): links are reported as
// links, with the folder bit when they lead to a folder.
// The read-only, hidden and system bits that Linux has no place for: set
// through PlatSetHandleAttributes, kept per object. Caller holds g_lock.
std::map<std::pair<dev_t, ino_t>, uint32_t> g_extraAttributes;
constexpr uint32_t EXTRA_BITS = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

uint32_t ExtraAttributesLocked(const struct stat& st) {
    const auto found = g_extraAttributes.find({st.st_dev, st.st_ino});
    return found != g_extraAttributes.end() ? found->second : 0;
}

uint32_t ExtraAttributes(const struct stat& st) {
    std::lock_guard<std::mutex> guard(g_lock);
    return ExtraAttributesLocked(st);
}

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

// Access rights as the share check weighs them: data read, data write, delete.
constexpr uint32_t FILE_READ_DATA_ACCESS = 0x1;
constexpr uint32_t FILE_WRITE_DATA_ACCESS = 0x2;
constexpr uint32_t FILE_APPEND_DATA_ACCESS = 0x4;

bool WantsRead(uint32_t access) {
    return (access & (GENERIC_READ | GENERIC_ALL_ACCESS | FILE_READ_DATA_ACCESS)) != 0;
}

bool WantsWrite(uint32_t access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL_ACCESS | FILE_WRITE_DATA_ACCESS | FILE_APPEND_DATA_ACCESS)) != 0;
}

bool WantsDelete(uint32_t access) {
    return (access & (DELETE | GENERIC_ALL_ACCESS)) != 0;
}

// ---- handles -------------------------------------------------------------------

enum class Kind { File, Find, Library };
// What a file handle holds: a file, a folder (backup semantics) or a link itself.
enum class Object { File, Folder, Link };

struct FindEntry {
    std::u16string wide;
    std::string native;
};

struct Handle {
    Kind kind;
    std::u16string path;  // as the caller gave it (a relative open: folder + "\\" + name), for the fault hook
    // File and Library: the object's identity.
    dev_t dev = 0;
    ino_t ino = 0;
    // File.
    int fd = -1;
    Object object = Object::File;
    bool folderLink = false;
    uint32_t access = 0;
    uint32_t share = 0;
    // Find: a snapshot of the names, attributes read on delivery through the folder's handle.
    int folderFd = -1;
    std::vector<FindEntry> entries;
    size_t next = 0;
    // Library.
    void* library = nullptr;
    size_t references = 0;
};

std::vector<Handle*> g_handles;
std::set<void*> g_localBlocks;

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

// ---- text ---------------------------------------------------------------------

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

char16_t UpperAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

// Listing order: "." and "..", then names compared without ASCII case, as the
// usual Windows file system delivers them; the logic must not depend on it.
bool ListedBefore(const FindEntry& a, const FindEntry& b) {
    const bool aDot = a.wide == u"." || a.wide == u"..";
    const bool bDot = b.wide == u"." || b.wide == u"..";
    if (aDot != bDot) return aDot;
    if (aDot) return a.wide.size() < b.wide.size();
    const size_t n = std::min(a.wide.size(), b.wide.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = UpperAscii(a.wide[i]);
        const char16_t y = UpperAscii(b.wide[i]);
        if (x != y) return x < y;
    }
    if (a.wide.size() != b.wide.size()) return a.wide.size() < b.wide.size();
    return a.wide < b.wide;
}

// Delivers the next entry that still exists; entries deleted since the
// snapshot are passed over.
bool DeliverNext(Handle* find, PlatFindData* data) {
    while (find->next < find->entries.size()) {
        const FindEntry& entry = find->entries[find->next++];
        struct stat st;
        if (fstatat(find->folderFd, entry.native.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const bool folderLink = S_ISLNK(st.st_mode) && IsFolderLinkAt(find->folderFd, entry.native);
        data->attributes = AttributesOf(st, entry.native, folderLink);
        size_t n = std::min(entry.wide.size(), PLAT_FIND_NAME_CAPACITY - 1);
        // Never split a surrogate pair when a name is cut.
        if (n < entry.wide.size() && n > 0 && entry.wide[n - 1] >= 0xD800 && entry.wide[n - 1] <= 0xDBFF) --n;
        std::memcpy(data->name, entry.wide.data(), n * sizeof(char16_t));
        data->name[n] = 0;
        return true;
    }
    return false;
}

// ---- command line ---------------------------------------------------------------

std::vector<std::u16string> SplitCommandLine(const char16_t* s) {
    std::vector<std::u16string> out;
    std::u16string current;
    // The program name: quoted without escapes, or up to the first blank.
    if (*s == u'"') {
        ++s;
        while (*s != 0 && *s != u'"') current += *s++;
        if (*s == u'"') ++s;
    } else {
        while (*s != 0 && *s != u' ' && *s != u'\t') current += *s++;
    }
    out.push_back(current);

    for (;;) {
        while (*s == u' ' || *s == u'\t') ++s;
        if (*s == 0) break;
        current.clear();
        bool quoted = false;
        while (*s != 0 && (quoted || (*s != u' ' && *s != u'\t'))) {
            if (*s == u'\\') {
                size_t slashes = 0;
                while (*s == u'\\') {
                    ++slashes;
                    ++s;
                }
                if (*s == u'"') {
                    current.append(slashes / 2, u'\\');
                    if (slashes % 2 == 1) {
                        current += u'"';
                        ++s;
                    }
                } else {
                    current.append(slashes, u'\\');
                }
            } else if (*s == u'"') {
                if (quoted && s[1] == u'"') {
                    current += u'"';  // "" inside quotes: a literal quote, still quoted
                    s += 2;
                } else {
                    quoted = !quoted;
                    ++s;
                }
            } else {
                current += *s++;
            }
        }
        out.push_back(current);
    }
    return out;
}

}  // namespace

// ---- text conversion (exported) -----------------------------------------------
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
        "LoadTrustServices"};
    static_assert(sizeof(names) / sizeof(names[0]) == static_cast<size_t>(PlatOp::Count), "one name per operation");
    const int i = static_cast<int>(op);
    if (i < 0 || i >= static_cast<int>(PlatOp::Count)) return "Unknown";
    return names[i];
}

// ---- controls (exported) ------------------------------------------------------

void PosixSetFaultHook(FaultHook hook, void* context) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.hook = hook;
    g_controls.hookContext = context;
}

uint64_t PosixCallCount(PlatOp op) {
    const int i = static_cast<int>(op);
    if (i < 0 || i >= static_cast<int>(PlatOp::Count)) return 0;
    return g_calls[i].load();
}

void PosixResetCallCounts() {
    for (auto& count : g_calls) count.store(0);
}

void PosixSetModulePath(const char16_t* path) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.moduleSet = path != nullptr;
    g_controls.modulePath = path != nullptr ? path : u"";
}

void PosixSetLocalAppData(const char16_t* path, int32_t result) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.appDataSet = path != nullptr;
    g_controls.appData = path != nullptr ? path : u"";
    g_controls.appDataResult = result;
}

void PosixSetCommandLine(const char16_t* commandLine) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.commandLine = commandLine != nullptr ? commandLine : u"";
}

void PosixSetString(uint32_t id, const char16_t* value) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (value == nullptr) {
        g_controls.strings.erase(id);
    } else {
        g_controls.strings[id] = value;
    }
}

void PosixClearStrings() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.strings.clear();
}

void PosixSetTrust(uint32_t result, const std::u16string& signer, uint32_t chainErrors) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.trustResult = result;
    g_controls.signer = signer;
    g_controls.chainErrors = chainErrors;
}

const std::vector<PosixMessageBox>& PosixMessageBoxes() {
    return g_controls.boxes;
}

void PosixClearMessageBoxes() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.boxes.clear();
}

size_t PosixOpenHandleCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t count = 0;
    for (const Handle* h : g_handles) count += h->kind == Kind::Library ? h->references : 1;
    return count;
}

size_t PosixLiveHeapBlocks() {
    return g_heapBlocks.load();
}

size_t PosixLiveLocalBlocks() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_localBlocks.size();
}

void PosixResetControls() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_controls = Controls{};
    }
    PosixResetCallCounts();
}

// ---- the operations -------------------------------------------------------------

uint32_t PlatGetLastError() {
    return t_lastError;
}

void PlatSetLastError(uint32_t code) {
    t_lastError = code;
}

// A request for 0 bytes yields null (no block is counted); callers never need one.
void* PlatHeapAlloc(size_t size) {
    if (Injected(Enter(PlatOp::HeapAlloc, nullptr))) return nullptr;
    if (size == 0) return nullptr;
    void* block = std::malloc(size);
    if (block == nullptr) {
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    g_heapBlocks.fetch_add(1);
    return block;
}

void PlatHeapFree(void* block) {
    if (block == nullptr) return;
    std::free(block);
    g_heapBlocks.fetch_sub(1);
}

bool PlatSetDefaultDllDirectories(uint32_t) {
    if (Injected(Enter(PlatOp::SetDefaultDllDirectories, nullptr))) return false;
    return true;
}

void PlatInitCommonControls() {}

uint32_t PlatGetModuleFileName(char16_t* buffer, uint32_t capacity) {
    if (Injected(Enter(PlatOp::GetModuleFileName, nullptr))) return 0;
    std::u16string path;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_controls.moduleSet) return FailWith(ERROR_FILE_NOT_FOUND, 0u);
        path = g_controls.modulePath;
    }
    if (buffer == nullptr || capacity == 0) return FailWith(ERROR_INSUFFICIENT_BUFFER, 0u);
    if (path.size() < capacity) {
        std::memcpy(buffer, path.data(), path.size() * sizeof(char16_t));
        buffer[path.size()] = 0;
        return static_cast<uint32_t>(path.size());
    }
    // Cut: capacity - 1 characters and the terminator, as Windows does since Vista.
    std::memcpy(buffer, path.data(), (capacity - 1) * sizeof(char16_t));
    buffer[capacity - 1] = 0;
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return capacity;
}

namespace {

// CreateFileW's meaning for name inside the open folder fd (path: for the
// fault hook and the handle). The folder fd is only borrowed.
PlatFile OpenAt(int folder, const std::string& name, const char16_t* path, uint32_t access, uint32_t share,
                uint32_t disposition, uint32_t flags) {
    if (disposition < CREATE_NEW_DISPOSITION || disposition > TRUNCATE_EXISTING_DISPOSITION) {
        return FailWith(ERROR_INVALID_PARAMETER, PLAT_INVALID_HANDLE);
    }
    const bool read = WantsRead(access);
    const bool write = WantsWrite(access);
    if (disposition == TRUNCATE_EXISTING_DISPOSITION && !write) {
        return FailWith(ERROR_INVALID_PARAMETER, PLAT_INVALID_HANDLE);
    }
    const bool noFollow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    const bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
    const bool creates = disposition == CREATE_NEW_DISPOSITION || disposition == CREATE_ALWAYS ||
                         disposition == OPEN_ALWAYS_DISPOSITION;
    const bool overwrites = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING_DISPOSITION;

    // Without FILE_FLAG_OPEN_REPARSE_POINT links are followed, as CreateFileW does.
    struct stat before;
    const bool existed = fstatat(folder, name.c_str(), &before, noFollow ? AT_SYMLINK_NOFOLLOW : 0) == 0;
    Object object = Object::File;
    bool folderLink = false;
    int fd = -1;
    if (existed && S_ISLNK(before.st_mode)) {
        // Only reached with FILE_FLAG_OPEN_REPARSE_POINT: the link itself is opened.
        folderLink = IsFolderLinkAt(folder, name);
        if (disposition == CREATE_NEW_DISPOSITION) return FailWith(ERROR_FILE_EXISTS_CODE, PLAT_INVALID_HANDLE);
        if (overwrites) return FailWith(ERROR_ACCESS_DENIED, PLAT_INVALID_HANDLE);
        // A folder link is a folder: without backup semantics it does not open.
        if (folderLink && !backup) return FailWith(ERROR_ACCESS_DENIED, PLAT_INVALID_HANDLE);
        object = Object::Link;
        fd = openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    } else if (existed && S_ISDIR(before.st_mode)) {
        if (!backup) return FailWith(ERROR_ACCESS_DENIED, PLAT_INVALID_HANDLE);  // a folder without backup semantics
        if (disposition == CREATE_NEW_DISPOSITION) return FailWith(ERROR_FILE_EXISTS_CODE, PLAT_INVALID_HANDLE);
        if (overwrites) return FailWith(ERROR_ACCESS_DENIED, PLAT_INVALID_HANDLE);
        object = Object::Folder;
        fd = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
    } else {
        if (existed && write && S_ISREG(before.st_mode) && (before.st_mode & S_IWUSR) == 0) {
            return FailWith(ERROR_ACCESS_DENIED, PLAT_INVALID_HANDLE);  // a read-only file (root would be let through)
        }
        // Windows refuses to overwrite a hidden or system file with attributes that lack those bits.
        if (existed && overwrites) {
            const uint32_t kept = AttributesOf(before, name, false) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
            if ((kept & ~flags) != 0) return FailWith(ERROR_ACCESS_DENIED, PLAT_INVALID_HANDLE);
        }
        int oflags = O_CLOEXEC | O_NOCTTY | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
        if (creates) oflags |= O_CREAT;
        if (disposition == CREATE_NEW_DISPOSITION) oflags |= O_EXCL;
        if (noFollow) oflags |= O_NOFOLLOW;
        fd = openat(folder, name.c_str(), oflags, 0644);
    }
    if (fd < 0) {
        const int e = errno;
        if (e == EEXIST && disposition == CREATE_NEW_DISPOSITION) return FailWith(ERROR_FILE_EXISTS_CODE, PLAT_INVALID_HANDLE);
        if (e == ENOENT && creates) return FailWith(ERROR_PATH_NOT_FOUND, PLAT_INVALID_HANDLE);
        // Swapped for a link since it was looked at: refused, never followed.
        if (e == ELOOP && noFollow) return FailWith(ERROR_ACCESS_DENIED, PLAT_INVALID_HANDLE);
        if (e == ENOENT) return FailWith(ERROR_FILE_NOT_FOUND, PLAT_INVALID_HANDLE);
        return FailWith(e == EISDIR ? ERROR_ACCESS_DENIED : ErrorFromErrno(e), PLAT_INVALID_HANDLE);
    }
    struct stat st;
    uint32_t refused = ERROR_SUCCESS;
    if (fstat(fd, &st) != 0) {
        refused = ErrorFromErrno(errno);
    } else if (object == Object::File && S_ISDIR(st.st_mode)) {
        refused = ERROR_ACCESS_DENIED;  // became a folder in between
    }
    if (refused != ERROR_SUCCESS) {
        close(fd);
        return FailWith(refused, PLAT_INVALID_HANDLE);
    }

    auto* handle = new Handle{};
    handle->kind = Kind::File;
    handle->path = path;
    handle->dev = st.st_dev;
    handle->ino = st.st_ino;
    handle->fd = fd;
    handle->object = object;
    handle->folderLink = folderLink;
    handle->access = access;
    handle->share = share;
    {
        // The share check comes before truncation: a refused open leaves the file as it was.
        std::lock_guard<std::mutex> guard(g_lock);
        refused = OpenConflictLocked(st.st_dev, st.st_ino, access, share);
        const bool truncates = object == Object::File && overwrites && existed;
        if (refused == ERROR_SUCCESS && truncates && ftruncate(fd, 0) != 0) refused = ErrorFromErrno(errno);
        if (refused == ERROR_SUCCESS) g_handles.push_back(handle);
    }
    if (refused != ERROR_SUCCESS) {
        close(fd);
        delete handle;
        return FailWith(refused, PLAT_INVALID_HANDLE);
    }
    if (object == Object::File && (flags & FILE_ATTRIBUTE_READONLY) != 0 && (!existed || disposition == CREATE_ALWAYS)) {
        fchmod(fd, st.st_mode & 07555);
    }
    // An existing file opened by a creating disposition reports 183 with success.
    t_lastError = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS_DISPOSITION)
                      ? ERROR_ALREADY_EXISTS
                      : ERROR_SUCCESS;
    return handle;
}

// Whether the object a handle holds still stands at its name in its folder:
// the folder fd (caller closes it) and the name, found through /proc.
bool LocateObject(const Handle* h, int* folder, std::string* name) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", h->fd);
    char target[PATH_MAX + 1];
    const ssize_t n = readlink(link, target, PATH_MAX);
    if (n <= 0) return false;
    const std::string where(target, static_cast<size_t>(n));
    if (where.empty() || where[0] != '/') return false;  // deleted, or not a path
    *name = LastComponent(where);
    *folder = open(ParentOf(where).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (*folder < 0) return false;
    struct stat st;
    if (fstatat(*folder, name->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != h->dev || st.st_ino != h->ino) {
        close(*folder);
        return false;
    }
    return true;
}

}  // namespace

PlatFile PlatCreateFile(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                        uint32_t flagsAndAttributes) {
    if (Injected(Enter(PlatOp::CreateFile, path))) return PLAT_INVALID_HANDLE;
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_PATH_NOT_FOUND, PLAT_INVALID_HANDLE);
    const std::string native = StripTrailing(PosixNativePath(path));
    // The folder is looked up, links and all; only the last component is the object.
    const std::string parent = native == "/" ? "/" : ParentOf(native);
    const std::string name = native == "/" ? "." : LastComponent(native);
    const int folder = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        const int e = errno;
        return FailWith(e == ENOENT || e == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(e), PLAT_INVALID_HANDLE);
    }
    PlatFile opened = OpenAt(folder, name, path, access, share, disposition, flagsAndAttributes);
    const uint32_t error = t_lastError;
    close(folder);
    t_lastError = error;
    return opened;
}

PlatFile PlatCreateFileAt(PlatFile folder, const char16_t* name, uint32_t access, uint32_t share,
                          uint32_t disposition, uint32_t flagsAndAttributes) {
    Handle* h = LookUp(folder, Kind::File);
    const std::u16string path = (h != nullptr ? h->path + u"\\" : std::u16string()) + (name != nullptr ? name : u"");
    if (Injected(Enter(PlatOp::CreateFileAt, path.c_str()))) return PLAT_INVALID_HANDLE;
    if (h == nullptr || h->object != Object::Folder) return FailWith(ERROR_INVALID_HANDLE, PLAT_INVALID_HANDLE);
    const std::string native = name != nullptr ? Utf16ToUtf8(name) : std::string();
    if (native.empty() || IsDotName(native) || native.find('/') != std::string::npos ||
        std::u16string(name).find(u'\\') != std::u16string::npos) {
        return FailWith(ERROR_INVALID_NAME_CODE, PLAT_INVALID_HANDLE);
    }
    return OpenAt(h->fd, native, path.c_str(), access, share, disposition, flagsAndAttributes);
}

bool PlatReadFile(PlatFile file, void* buffer, uint32_t size, uint32_t* read) {
    Handle* h = LookUp(file, Kind::File);
    const FaultAction action = Enter(PlatOp::ReadFile, HookPath(h));
    if (read != nullptr) *read = 0;
    if (Injected(action)) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!WantsRead(h->access)) return Fail(ERROR_ACCESS_DENIED);
    if (buffer == nullptr && size != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (h->object == Object::Link) return true;  // a link itself holds no data
    if (h->object == Object::Folder) return Fail(ERROR_INVALID_FUNCTION_CODE);
    uint32_t limit = size;
    if (action.kind == FaultAction::Short) limit = std::min(size, action.shortBytes);
    uint32_t done = 0;
    while (done < limit) {
        const ssize_t got = ::read(h->fd, static_cast<char*>(buffer) + done, limit - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            if (read != nullptr) *read = done;
            return Fail(e == EIO ? ERROR_READ_FAULT : ErrorFromErrno(e));
        }
        if (got == 0) break;  // end of file: success with what was read
        done += static_cast<uint32_t>(got);
    }
    if (read != nullptr) *read = done;
    return true;
}

bool PlatWriteFile(PlatFile file, const void* buffer, uint32_t size, uint32_t* written) {
    Handle* h = LookUp(file, Kind::File);
    const FaultAction action = Enter(PlatOp::WriteFile, HookPath(h));
    if (written != nullptr) *written = 0;
    if (Injected(action)) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!WantsWrite(h->access)) return Fail(ERROR_ACCESS_DENIED);
    if (buffer == nullptr && size != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (h->object != Object::File) return Fail(ERROR_INVALID_FUNCTION_CODE);
    uint32_t limit = size;
    if (action.kind == FaultAction::Short) limit = std::min(size, action.shortBytes);
    uint32_t done = 0;
    while (done < limit) {
        const ssize_t put = ::write(h->fd, static_cast<const char*>(buffer) + done, limit - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            if (written != nullptr) *written = done;
            return Fail(e == EIO ? ERROR_WRITE_FAULT : ErrorFromErrno(e));
        }
        if (put == 0) break;
        done += static_cast<uint32_t>(put);
    }
    if (written != nullptr) *written = done;
    return true;
}

uint32_t PlatSetFilePointer(PlatFile file, int32_t distanceLow, int32_t* distanceHigh, uint32_t method) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::SetFilePointer, HookPath(h)))) return INVALID_SET_FILE_POINTER;
    if (h == nullptr) return FailWith(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
    if (method > FILE_END) return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    // With a high half the distance is 64-bit; without, the low half is signed.
    int64_t distance = distanceLow;
    if (distanceHigh != nullptr) {
        distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                        static_cast<uint32_t>(distanceLow));
    }
    int64_t base = 0;
    if (method == FILE_CURRENT) {
        const off_t current = lseek(h->fd, 0, SEEK_CUR);
        if (current < 0) return FailWith(ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
        base = current;
    } else if (method == FILE_END) {
        struct stat st;
        if (fstat(h->fd, &st) != 0) return FailWith(ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
        base = st.st_size;
    }
    int64_t target = 0;
    if (__builtin_add_overflow(base, distance, &target)) {
        return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    if (target < 0) return FailWith(ERROR_NEGATIVE_SEEK_CODE, INVALID_SET_FILE_POINTER);
    if (distanceHigh == nullptr && target > 0xFFFFFFFFll) {
        return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);  // would not fit the low half alone
    }
    if (lseek(h->fd, static_cast<off_t>(target), SEEK_SET) < 0) {
        return FailWith(ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
    }
    if (distanceHigh != nullptr) *distanceHigh = static_cast<int32_t>(static_cast<uint64_t>(target) >> 32);
    t_lastError = ERROR_SUCCESS;  // a low half of 0xFFFFFFFF is then told apart from failure
    return static_cast<uint32_t>(static_cast<uint64_t>(target) & 0xFFFFFFFFu);
}

bool PlatGetFileSizeEx(PlatFile file, uint64_t* size) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::GetFileSizeEx, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(h->fd, &st) != 0) return Fail(ErrorFromErrno(errno));
    *size = h->object == Object::File ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool PlatCloseHandle(PlatFile file) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::CloseHandle, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    Forget(h);
    close(h->fd);
    delete h;
    return true;
}

bool PlatSetEndOfFile(PlatFile file) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::SetEndOfFile, HookPath(h)))) return false;
    if (h == nullptr || h->object != Object::File) return Fail(ERROR_INVALID_HANDLE);
    if (!WantsWrite(h->access)) return Fail(ERROR_ACCESS_DENIED);
    const off_t at = lseek(h->fd, 0, SEEK_CUR);
    if (at < 0 || ftruncate(h->fd, at) != 0) return Fail(ErrorFromErrno(errno));
    return true;
}

bool PlatGetHandleAttributes(PlatFile file, uint32_t* attributes) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::GetHandleAttributes, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    struct stat st;
    if (fstatat(h->fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return Fail(ErrorFromErrno(errno));
    *attributes = AttributesOf(st, std::string(), h->folderLink);
    return true;
}

bool PlatSetHandleAttributes(PlatFile file, uint32_t attributes) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::SetHandleAttributes, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if ((h->access & (FILE_WRITE_ATTRIBUTES | GENERIC_WRITE | GENERIC_ALL_ACCESS)) == 0) return Fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (fstatat(h->fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return Fail(ErrorFromErrno(errno));
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if ((attributes & EXTRA_BITS) != 0) {
            g_extraAttributes[{st.st_dev, st.st_ino}] = attributes & EXTRA_BITS;
        } else {
            g_extraAttributes.erase({st.st_dev, st.st_ino});
        }
    }
    // A link has no read-only bit of its own here; its target is never touched.
    if (h->object == Object::Link) return true;
    mode_t mode = st.st_mode & 07777;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
    } else {
        mode |= S_IWUSR;
    }
    if (mode != (st.st_mode & 07777) && fchmod(h->fd, mode) != 0) return Fail(ErrorFromErrno(errno));
    return true;
}

// POSIX semantics: the name goes at once. Only the very object the handle holds
// is ever unlinked; one that moved away or was replaced at its name is not found.
bool PlatDeleteByHandle(PlatFile file) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::DeleteByHandle, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!WantsDelete(h->access)) return Fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (fstatat(h->fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return Fail(ErrorFromErrno(errno));
    // As RemoveDirectoryW: a read-only folder stays until its bit is cleared.
    if (h->object == Object::Folder && (st.st_mode & S_IWUSR) == 0) return Fail(ERROR_ACCESS_DENIED);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const Handle* other : g_handles) {
            if (other->kind == Kind::Library && other->dev == st.st_dev && other->ino == st.st_ino) {
                return Fail(ERROR_ACCESS_DENIED);  // a mapped image cannot be deleted
            }
        }
    }
    int folder = -1;
    std::string name;
    if (!LocateObject(h, &folder, &name)) return Fail(ERROR_ACCESS_DENIED);
    const int result = unlinkat(folder, name.c_str(), h->object == Object::Folder ? AT_REMOVEDIR : 0);
    const int e = errno;
    close(folder);
    if (result != 0) return Fail(e == ENOTEMPTY || e == EEXIST ? ERROR_DIR_NOT_EMPTY : ErrorFromErrno(e));
    std::lock_guard<std::mutex> guard(g_lock);
    g_extraAttributes.erase({st.st_dev, st.st_ino});
    return true;
}

uint32_t PlatGetFileAttributes(const char16_t* path) {
    if (Injected(Enter(PlatOp::GetFileAttributes, path))) return INVALID_FILE_ATTRIBUTES;
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    const std::string native = StripTrailing(PosixNativePath(path));
    struct stat st;
    if (lstat(native.c_str(), &st) != 0) return FailWith(PathError(errno, native), INVALID_FILE_ATTRIBUTES);
    struct stat target;
    const bool folderLink = S_ISLNK(st.st_mode) && stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return AttributesOf(st, LastComponent(native), folderLink);
}

bool PlatCreateDirectory(const char16_t* path) {
    if (Injected(Enter(PlatOp::CreateDirectory, path))) return false;
    if (path == nullptr || path[0] == 0) return Fail(ERROR_PATH_NOT_FOUND);
    const std::string native = StripTrailing(PosixNativePath(path));
    if (mkdir(native.c_str(), 0755) != 0) {
        const int e = errno;
        return Fail(e == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(e));
    }
    return true;
}

PlatFind PlatFindFirstFileAt(PlatFile folder, PlatFindData* data) {
    Handle* h = LookUp(folder, Kind::File);
    if (Injected(Enter(PlatOp::FindFirstFileAt, HookPath(h)))) return PLAT_INVALID_HANDLE;
    if (h == nullptr) return FailWith(ERROR_INVALID_HANDLE, PLAT_INVALID_HANDLE);
    if (h->object != Object::Folder) return FailWith(ERROR_DIRECTORY, PLAT_INVALID_HANDLE);
    if (data == nullptr) return FailWith(ERROR_INVALID_PARAMETER, PLAT_INVALID_HANDLE);
    const int copy = dup(h->fd);
    DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        if (copy >= 0) close(copy);
        return FailWith(ErrorFromErrno(errno), PLAT_INVALID_HANDLE);
    }
    rewinddir(dir);
    auto* handle = new Handle{};
    handle->kind = Kind::Find;
    handle->path = h->path + u"\\*";
    handle->folderFd = h->fd;  // borrowed: the listing lives inside the folder handle's life
    // A snapshot of the names: deleting entries while listing is then harmless.
    while (const dirent* entry = readdir(dir)) {
        handle->entries.push_back(FindEntry{Utf8ToUtf16(entry->d_name), entry->d_name});
    }
    closedir(dir);
    std::sort(handle->entries.begin(), handle->entries.end(), ListedBefore);
    if (!DeliverNext(handle, data)) {
        delete handle;
        return FailWith(ERROR_FILE_NOT_FOUND, PLAT_INVALID_HANDLE);
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_handles.push_back(handle);
    return handle;
}

bool PlatFindNextFile(PlatFind find, PlatFindData* data) {
    Handle* h = LookUp(find, Kind::Find);
    if (Injected(Enter(PlatOp::FindNextFile, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!DeliverNext(h, data)) return Fail(ERROR_NO_MORE_FILES);
    return true;
}

bool PlatFindClose(PlatFind find) {
    Handle* h = LookUp(find, Kind::Find);
    if (Injected(Enter(PlatOp::FindClose, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    Forget(h);
    delete h;
    return true;
}

int32_t PlatGetLocalAppDataFolder(char16_t* buffer, size_t capacity) {
    const FaultAction action = Enter(PlatOp::GetLocalAppDataFolder, nullptr);
    if (buffer != nullptr && capacity > 0) buffer[0] = 0;
    if (Injected(action)) return action.error != 0 ? HresultFromWin32(action.error) : E_FAIL_RESULT;
    if (buffer == nullptr || capacity == 0) return HresultFromWin32(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_controls.appDataResult != 0) return g_controls.appDataResult;
    if (!g_controls.appDataSet) return E_FAIL_RESULT;
    const std::u16string& path = g_controls.appData;
    if (path.size() + 1 > capacity) return HresultFromWin32(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, path.data(), path.size() * sizeof(char16_t));
    buffer[path.size()] = 0;
    return 0;
}

PlatModule PlatLoadLibraryEx(const char16_t* path, uint32_t) {
    if (Injected(Enter(PlatOp::LoadLibraryEx, path))) return nullptr;
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
    const std::string native = PosixNativePath(path);
    struct stat st;
    if (stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);
    {
        // The loader reads with read and delete sharing: a writer, or a holder
        // that refuses readers, makes the load fail.
        std::lock_guard<std::mutex> guard(g_lock);
        for (const Handle* h : g_handles) {
            if (h->kind == Kind::File && h->dev == st.st_dev && h->ino == st.st_ino &&
                ((h->share & FILE_SHARE_READ) == 0 || WantsWrite(h->access))) {
                return FailWith(ERROR_SHARING_VIOLATION, nullptr);
            }
        }
    }
    unsigned char magic[4] = {0, 0, 0, 0};
    const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);
    const ssize_t got = ::read(fd, magic, sizeof(magic));
    close(fd);
    if (got != 4 || magic[0] != 0x7F || magic[1] != 'E' || magic[2] != 'L' || magic[3] != 'F') {
        return FailWith(ERROR_BAD_EXE_FORMAT, nullptr);
    }
    void* library = dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);

    std::lock_guard<std::mutex> guard(g_lock);
    for (Handle* h : g_handles) {
        if (h->kind == Kind::Library && h->library == library) {
            ++h->references;  // the same module again, as Windows counts loads
            return h;
        }
    }
    auto* handle = new Handle{};
    handle->kind = Kind::Library;
    handle->path = path;
    handle->dev = st.st_dev;
    handle->ino = st.st_ino;
    handle->library = library;
    handle->references = 1;
    g_handles.push_back(handle);
    return handle;
}

void* PlatGetProcAddress(PlatModule module, const char* name) {
    Handle* h = LookUp(module, Kind::Library);
    if (Injected(Enter(PlatOp::GetProcAddress, HookPath(h)))) return nullptr;
    if (h == nullptr) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);
    if (name == nullptr) return FailWith(ERROR_PROC_NOT_FOUND, nullptr);
    void* symbol = dlsym(h->library, name);
    if (symbol == nullptr) return FailWith(ERROR_PROC_NOT_FOUND, nullptr);
    return symbol;
}

bool PlatFreeLibrary(PlatModule module) {
    Handle* h = LookUp(module, Kind::Library);
    if (Injected(Enter(PlatOp::FreeLibrary, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    dlclose(h->library);
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        last = --h->references == 0;
        if (last) g_handles.erase(std::remove(g_handles.begin(), g_handles.end(), h), g_handles.end());
    }
    if (last) delete h;
    return true;
}

const char16_t* PlatGetCommandLine() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_controls.commandLine.c_str();
}

// One block: the pointer array (null-terminated) followed by the strings.
char16_t** PlatCommandLineToArgv(const char16_t* commandLine, int* count) {
    if (Injected(Enter(PlatOp::CommandLineToArgv, nullptr))) return nullptr;
    if (count == nullptr) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
    std::vector<std::u16string> args;
    if (commandLine == nullptr || commandLine[0] == 0) {
        std::lock_guard<std::mutex> guard(g_lock);
        args.push_back(g_controls.modulePath);  // as Windows: the module's own path
    } else {
        args = SplitCommandLine(commandLine);
    }
    const size_t pointers = (args.size() + 1) * sizeof(char16_t*);
    size_t units = 0;
    for (const auto& a : args) units += a.size() + 1;
    auto* block = static_cast<char*>(std::malloc(pointers + units * sizeof(char16_t)));
    if (block == nullptr) return FailWith(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    auto** argv = reinterpret_cast<char16_t**>(block);
    auto* text = reinterpret_cast<char16_t*>(block + pointers);
    for (size_t i = 0; i < args.size(); ++i) {
        argv[i] = text;
        std::memcpy(text, args[i].data(), args[i].size() * sizeof(char16_t));
        text[args[i].size()] = 0;
        text += args[i].size() + 1;
    }
    argv[args.size()] = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_localBlocks.insert(block);
    }
    *count = static_cast<int>(args.size());
    return argv;
}

void PlatLocalFree(void* block) {
    if (block == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_localBlocks.erase(block) == 0) return;  // not ours: left alone, as LocalFree fails
    }
    std::free(block);
}

int PlatMessageBox(const char16_t* text, const char16_t* caption, uint32_t style) {
    if (Injected(Enter(PlatOp::MessageBox, nullptr))) return 0;
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.boxes.push_back(
        PosixMessageBox{text != nullptr ? text : u"", caption != nullptr ? caption : u"Error", style});
    return 1;  // IDOK
}

int PlatLoadString(PlatModule, uint32_t id, char16_t* buffer, int capacity) {
    if (Injected(Enter(PlatOp::LoadString, nullptr))) return 0;
    if (buffer == nullptr || capacity <= 0) return FailWith(ERROR_INVALID_PARAMETER, 0);
    buffer[0] = 0;
    std::lock_guard<std::mutex> guard(g_lock);
    const auto found = g_controls.strings.find(id);
    if (found == g_controls.strings.end()) return FailWith(ERROR_RESOURCE_NAME_NOT_FOUND_CODE, 0);
    const size_t n = std::min(found->second.size(), static_cast<size_t>(capacity - 1));
    std::memcpy(buffer, found->second.data(), n * sizeof(char16_t));
    buffer[n] = 0;
    return static_cast<int>(n);
}

uint32_t PlatLoadTrustServices() {
    const FaultAction action = Enter(PlatOp::LoadTrustServices, nullptr);
    if (action.kind == FaultAction::Fail) return action.error != 0 ? action.error : ERROR_MOD_NOT_FOUND;
    return ERROR_SUCCESS;
}

bool PlatGetFileId(PlatFile file, PlatFileId* id) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::GetFileId, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (id == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(h->fd, &st) != 0) return Fail(ErrorFromErrno(errno));
    std::memset(id, 0, sizeof(*id));
    id->volume = static_cast<uint64_t>(st.st_dev);
    const uint64_t inode = static_cast<uint64_t>(st.st_ino);
    std::memcpy(id->id, &inode, sizeof(inode));
    return true;
}

void PlatVerifyTrust(PlatFile file, const char16_t* path, PlatTrustAnswer* answer) {
    const FaultAction action = Enter(PlatOp::VerifyTrust, path);
    answer->chainErrors = 0;
    answer->signer[0] = 0;
    answer->signerLength = 0;
    if (action.kind == FaultAction::Fail) {
        answer->result = action.error != 0 ? action.error : PLAT_TRUST_NOSIGNATURE;
        return;
    }
    if (LookUp(file, Kind::File) == nullptr) {
        // No open file to check: the path must name one, as for the real check.
        struct stat st;
        if (path == nullptr || stat(PosixNativePath(path).c_str(), &st) != 0) {
            answer->result = ERROR_FILE_NOT_FOUND;
            return;
        }
    }
    std::lock_guard<std::mutex> guard(g_lock);
    answer->result = g_controls.trustResult;
    answer->chainErrors = g_controls.chainErrors;
    // As the real call: a name that does not fit is no name.
    if (g_controls.signer.size() < PLAT_SIGNER_CAPACITY) {
        std::memcpy(answer->signer, g_controls.signer.data(), g_controls.signer.size() * sizeof(char16_t));
        answer->signer[g_controls.signer.size()] = 0;
        answer->signerLength = g_controls.signer.size();
    }
}
