// The Windows file-system simulator's folders and links (tests only): attribute
// queries by path (links reported as links, never followed), folder creation,
// and listings through a folder handle in the order the usual Windows file
// system delivers them.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/sim_internal.h"

using namespace sim_backend;

namespace {

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

}  // namespace

uint32_t PlatGetFileAttributes(const char16_t* path) {
    if (Injected(Enter(PlatOp::GetFileAttributes, path))) return INVALID_FILE_ATTRIBUTES;
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    const std::string native = StripTrailing(Win32NativePath(path));
    struct stat st;
    if (lstat(native.c_str(), &st) != 0) return FailWith(PathError(errno, native), INVALID_FILE_ATTRIBUTES);
    struct stat target;
    const bool folderLink = S_ISLNK(st.st_mode) && stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return AttributesOf(st, LastComponent(native), folderLink);
}

bool PlatCreateDirectory(const char16_t* path) {
    if (Injected(Enter(PlatOp::CreateDirectory, path))) return false;
    if (path == nullptr || path[0] == 0) return Fail(ERROR_PATH_NOT_FOUND);
    const std::string native = StripTrailing(Win32NativePath(path));
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
