// What the Windows file-system simulator's files (tests only) share: the
// Windows codes it maps to, the controls that stand in for Windows, the fault
// hook, and the table of open handles with their share modes. Only the
// backend's own files include this.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_common.h"
#include "platform/sim_control.h"

namespace sim_backend {

// Windows codes used here beyond the shared list.
constexpr uint32_t ERROR_INVALID_FUNCTION_CODE = 1;
constexpr uint32_t ERROR_FILE_EXISTS_CODE = 80;
constexpr uint32_t ERROR_INVALID_NAME_CODE = 123;
constexpr uint32_t ERROR_RESOURCE_NAME_NOT_FOUND_CODE = 1814;

constexpr int32_t E_FAIL_RESULT = static_cast<int32_t>(0x80004005u);
constexpr uint32_t CREATE_NEW_DISPOSITION = 1;
constexpr uint32_t OPEN_ALWAYS_DISPOSITION = 4;
constexpr uint32_t TRUNCATE_EXISTING_DISPOSITION = 5;
constexpr uint32_t GENERIC_ALL_ACCESS = 0x10000000u;

int32_t HresultFromWin32(uint32_t code);

extern thread_local uint32_t t_lastError;

// ---- controls and the fault hook ---------------------------------------------

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
    bool codeSigning = true;
    std::vector<uint8_t> trustDigest;  // empty: the file's own SHA-256
    std::map<std::pair<dev_t, ino_t>, std::u16string> sharedImages;  // mapped by another process, by that name
    std::vector<PosixMessageBox> boxes;
};

extern std::mutex g_lock;  // guards g_controls, g_handles, g_localBlocks and g_extraAttributes
extern Controls g_controls;
extern std::atomic<uint64_t> g_calls[static_cast<int>(PlatOp::Count)];
extern std::atomic<size_t> g_heapBlocks;

// Counts the call and asks the fault hook; the hook runs outside the lock so it
// may use the controls itself.
FaultAction Enter(PlatOp op, const char16_t* path);
// True when the hook asked for a failure; the call then leaves its error.
bool Injected(const FaultAction& action);
bool Fail(uint32_t code);
template <typename T>
T FailWith(uint32_t code, T result) {
    t_lastError = code;
    return result;
}

// ---- errors and paths -----------------------------------------------------------

inline uint32_t ErrorFromErrno(int e) { return PosixErrorFromErrno(e); }
// Trailing separators dropped (the root stays "/"), so that "dir\" names the
// folder or link itself: lstat("link/") would follow the link.
std::string StripTrailing(std::string path);
std::string ParentOf(const std::string& path);
std::string LastComponent(const std::string& path);
// What Windows reports for a missing object: 2 when its folder exists, 3 when
// the folder itself is missing or is not a folder.
uint32_t PathError(int e, const std::string& path);
bool IsDotName(const std::string& name);
// The native path Win32 reaches by path: in a plain path every name loses a
// trailing dot and trailing spaces (a name left empty goes); the "\\?\" form
// keeps names as they are.
std::string Win32NativePath(const char16_t* path);

// ---- attributes -----------------------------------------------------------------

// The hidden and system bits that Linux has no place for: set through
// PlatSetHandleAttributes, kept per object. Guarded by g_lock.
extern std::map<std::pair<dev_t, ino_t>, uint32_t> g_extraAttributes;
constexpr uint32_t EXTRA_BITS = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Attribute bits of the object itself (st from lstat): links are reported as
// links, with the folder bit when they are folder links (made to a folder).
uint32_t AttributesOf(const struct stat& st, const std::string& name, bool folderLink);
// A link is a folder link when it was made to a folder: a test makes links to
// folders as folder links, as Windows would.
bool IsFolderLinkAt(int folder, const std::string& name);

// Access rights as the share check weighs them: data read, data write, delete.
bool WantsRead(uint32_t access);
bool WantsWrite(uint32_t access);
bool WantsDelete(uint32_t access);

// ---- handles --------------------------------------------------------------------

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
    std::u16string mappedName;  // the name its image is known by ("\\?\" form)
};

extern std::vector<Handle*> g_handles;
extern std::set<void*> g_localBlocks;

// A new record for an open object (not yet in g_handles): its kind, the
// caller's path and the identity st gives.
Handle* NewHandle(Kind kind, const char16_t* path, const struct stat& st);
Handle* FindHandleLocked(void* value, Kind kind);
Handle* LookUp(void* value, Kind kind);
void Forget(Handle* handle);
const char16_t* HookPath(const Handle* handle);
// Share-mode check of a new open against this process's open handles and
// loaded libraries of the same file. Caller holds the lock.
uint32_t OpenConflictLocked(dev_t dev, ino_t ino, uint32_t access, uint32_t share);
// CreateFileW's meaning for a native path: its folders looked up, links and
// all, its last name the object (path: for the handle and the fault hook).
PlatFile OpenNativePath(const std::string& native, const char16_t* path, uint32_t access, uint32_t share,
                        uint32_t disposition, uint32_t flags);

}  // namespace sim_backend
