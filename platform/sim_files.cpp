// The Windows file-system simulator's files (tests only): CreateFileW's meaning
// over openat, relative opens, reads, writes and positions, share modes among
// the process's handles, attributes and deletion by handle, and file identity.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/sim_internal.h"

using namespace sim_backend;

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

    Handle* handle = NewHandle(Kind::File, path, st);
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

PlatFile sim_backend::OpenNativePath(const std::string& nativePath, const char16_t* path, uint32_t access,
                                     uint32_t share, uint32_t disposition, uint32_t flagsAndAttributes) {
    const std::string native = StripTrailing(nativePath);
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

PlatFile PlatCreateFile(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                        uint32_t flagsAndAttributes) {
    if (Injected(Enter(PlatOp::CreateFile, path))) return PLAT_INVALID_HANDLE;
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_PATH_NOT_FOUND, PLAT_INVALID_HANDLE);
    return OpenNativePath(Win32NativePath(path), path, access, share, disposition, flagsAndAttributes);
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

PlatFile PlatCreateFolderAt(PlatFile parent, const char16_t* name, uint32_t access, uint32_t share, bool* created) {
    Handle* h = LookUp(parent, Kind::File);
    const std::u16string path = (h != nullptr ? h->path + u"\\" : std::u16string()) + (name != nullptr ? name : u"");
    *created = false;
    if (Injected(Enter(PlatOp::CreateFolderAt, path.c_str()))) return PLAT_INVALID_HANDLE;
    if (h == nullptr || h->object != Object::Folder) return FailWith(ERROR_INVALID_HANDLE, PLAT_INVALID_HANDLE);
    const std::string native = name != nullptr ? Utf16ToUtf8(name) : std::string();
    if (native.empty() || IsDotName(native) || native.find('/') != std::string::npos ||
        std::u16string(name).find(u'\\') != std::u16string::npos) {
        return FailWith(ERROR_INVALID_NAME_CODE, PLAT_INVALID_HANDLE);
    }
    if (mkdirat(h->fd, native.c_str(), 0755) == 0) {
        *created = true;
    } else if (errno != EEXIST) {
        const int e = errno;
        return FailWith(e == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(e), PLAT_INVALID_HANDLE);
    }
    struct stat st;
    if (fstatat(h->fd, native.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        return FailWith(ERROR_DIRECTORY, PLAT_INVALID_HANDLE);
    }
    // Opened the way the open-if of a folder opens it: a link standing there is the link itself.
    PlatFile opened = OpenAt(h->fd, native, path.c_str(), access, share, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (opened == PLAT_INVALID_HANDLE) {
        *created = false;
        return opened;
    }
    t_lastError = ERROR_SUCCESS;
    return opened;
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
    const uint32_t error = PosixReadFully(h->fd, buffer, limit, &done);
    if (read != nullptr) *read = done;
    return error != 0 ? Fail(error) : true;
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
    uint32_t position = 0;
    const uint32_t error = PosixSeek(h->fd, distanceLow, distanceHigh, method, &position);
    if (error != 0) return FailWith(error, INVALID_SET_FILE_POINTER);
    t_lastError = ERROR_SUCCESS;  // a low half of 0xFFFFFFFF is then told apart from failure
    return position;
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
    // Attributes belong to the file, which lives on under its other names.
    if (st.st_nlink <= 1 || h->object == Object::Folder) {
        std::lock_guard<std::mutex> guard(g_lock);
        g_extraAttributes.erase({st.st_dev, st.st_ino});
    }
    return true;
}

bool PlatGetLinkCount(PlatFile file, uint32_t* links) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::GetLinkCount, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (links == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstatat(h->fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return Fail(ErrorFromErrno(errno));
    // A folder's count holds its subfolders' ".." here; Windows counts its names only.
    *links = h->object == Object::Folder ? 1u : static_cast<uint32_t>(st.st_nlink);
    return true;
}

// As Windows with POSIX semantics: the name is replaced in one step; a folder,
// a file others hold without delete sharing and a mapped image are not replaced.
bool PlatRenameByHandle(PlatFile file, PlatFile folder, const char16_t* name) {
    Handle* h = LookUp(file, Kind::File);
    Handle* target = LookUp(folder, Kind::File);
    if (Injected(Enter(PlatOp::RenameByHandle, HookPath(h)))) return false;
    if (h == nullptr || target == nullptr || target->object != Object::Folder) return Fail(ERROR_INVALID_HANDLE);
    if (!WantsDelete(h->access)) return Fail(ERROR_ACCESS_DENIED);
    const std::string native = name != nullptr ? Utf16ToUtf8(name) : std::string();
    if (native.empty() || IsDotName(native) || native.find('/') != std::string::npos ||
        std::u16string(name).find(u'\\') != std::u16string::npos) {
        return Fail(ERROR_INVALID_NAME_CODE);
    }
    struct stat existing;
    if (fstatat(target->fd, native.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(existing.st_mode)) return Fail(ERROR_ACCESS_DENIED);
        std::lock_guard<std::mutex> guard(g_lock);
        for (const Handle* other : g_handles) {
            if (other == h || other->dev != existing.st_dev || other->ino != existing.st_ino) continue;
            if (other->kind == Kind::Library || (other->kind == Kind::File && (other->share & FILE_SHARE_DELETE) == 0)) {
                return Fail(ERROR_ACCESS_DENIED);
            }
        }
    }
    int from = -1;
    std::string current;
    if (!LocateObject(h, &from, &current)) return Fail(ERROR_ACCESS_DENIED);
    const int result = renameat(from, current.c_str(), target->fd, native.c_str());
    const int e = errno;
    close(from);
    if (result != 0) return Fail(e == EISDIR || e == ENOTEMPTY ? ERROR_ACCESS_DENIED : ErrorFromErrno(e));
    return true;
}

uint32_t PlatGetFinalPath(PlatFile file, char16_t* buffer, uint32_t capacity) {
    Handle* h = LookUp(file, Kind::File);
    if (Injected(Enter(PlatOp::GetFinalPath, HookPath(h)))) return 0;
    if (h == nullptr) return FailWith(ERROR_INVALID_HANDLE, 0u);
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", h->fd);
    char target[PATH_MAX + 1];
    const ssize_t n = readlink(link, target, PATH_MAX);
    if (n <= 0 || target[0] != '/') return FailWith(ERROR_FILE_NOT_FOUND, 0u);
    const std::string where(target, static_cast<size_t>(n));
    if (where.size() > 10 && where.compare(where.size() - 10, 10, " (deleted)") == 0) {
        return FailWith(ERROR_FILE_NOT_FOUND, 0u);
    }
    const std::u16string wide = u"\\\\?\\" + PosixWidePath(where);
    if (buffer == nullptr || wide.size() + 1 > capacity) return FailWith(ERROR_INSUFFICIENT_BUFFER, 0u);
    std::memcpy(buffer, wide.data(), wide.size() * sizeof(char16_t));
    buffer[wide.size()] = 0;
    return static_cast<uint32_t>(wide.size());
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
