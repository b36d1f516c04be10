#include "cache/runtime_dir.h"

#include "base/long_path.h"
#include "base/text.h"
#include "cache/remove_tree.h"
#include "platform/platform.h"

namespace {

// The purge leaves this much room after the base folder, whatever the root's name.
constexpr size_t PURGE_MARGIN = 24;

bool IsWhiteSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

uint32_t QueryAttributes(const char16_t* path) {
    char16_t scratch[LONG_PATH_CAPACITY];
    return PlatGetFileAttributes(ToLongPath(path, scratch));
}

bool CreateOneDirectory(const char16_t* path) {
    char16_t scratch[LONG_PATH_CAPACITY];
    return PlatCreateDirectory(ToLongPath(path, scratch));
}

// Held for the run: listed and opened through, never deleted through.
constexpr uint32_t HOLD_ACCESS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Keeps the handle only when it holds a real folder.
bool KeepRealFolder(PlatFile opened, FileHandle* held) {
    held->file = opened;
    if (!held->Valid()) return false;
    if (IsRealFolder(HandleAttributes(held->file))) return true;
    held->Close();
    return false;
}

}  // namespace

bool FormRuntimeRoot(const char16_t* base, char16_t* root) {
    return TextFormat(root, PATH_CAPACITY, u"%s\\Vorlane Runtime", base);
}

char16_t* PrepareRuntimeDir(bool* rootExisted, RuntimeFolders* held) {
    held->Release();
    char16_t base[PATH_CAPACITY];
    if (PlatGetLocalAppDataFolder(base, PATH_CAPACITY) != 0) return nullptr;
    base[PATH_CAPACITY - 1] = 0;
    const size_t baseLength = TextLength(base);

    char16_t root[PATH_CAPACITY];
    if (!FormRuntimeRoot(base, root)) return nullptr;
    // Decided before anything is created: the after-run removal may take the
    // root away only when this run made it.
    *rootExisted = QueryAttributes(root) != INVALID_FILE_ATTRIBUTES;

    char16_t dir[PATH_CAPACITY];
    if (!TextFormat(dir, PATH_CAPACITY, u"%s\\%d", root, RUNTIME_VERSION)) return nullptr;
    if (!CreateDirChain(dir, baseLength)) return nullptr;

    // Checked again by handle, and held: the version folder is opened through
    // the root's handle, so both are the folders just checked.
    {
        char16_t scratch[LONG_PATH_CAPACITY];
        const PlatFile opened = PlatCreateFile(ToLongPath(root, scratch), HOLD_ACCESS, NO_DELETE_SHARING,
                                               OPEN_EXISTING, NO_FOLLOW);
        if (!KeepRealFolder(opened, &held->root)) return nullptr;
    }
    const char16_t* version = dir + TextLength(root) + 1;
    if (!KeepRealFolder(
            PlatCreateFileAt(held->root.file, version, HOLD_ACCESS, NO_DELETE_SHARING, OPEN_EXISTING, NO_FOLLOW),
            &held->dir)) {
        held->Release();
        return nullptr;
    }
    char16_t* copy = TextDuplicate(dir);
    if (copy == nullptr) held->Release();
    return copy;
}

bool CreateDirChain(const char16_t* path, size_t prefixLength) {
    if (path == nullptr) return false;
    const size_t n = TextLength(path);
    if (prefixLength >= n) return true;
    if (n >= PATH_CAPACITY) return false;

    char16_t partial[PATH_CAPACITY];
    for (size_t i = 0; i < prefixLength + 1; ++i) partial[i] = path[i];
    for (size_t i = prefixLength + 1; i <= n; ++i) {
        if (i < n && !IsPathSeparator(path[i])) {
            partial[i] = path[i];
            continue;
        }
        partial[i] = 0;
        uint32_t attributes = QueryAttributes(partial);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (CreateOneDirectory(partial)) {
                if (i < n) partial[i] = path[i];
                continue;
            }
            if (PlatGetLastError() != ERROR_ALREADY_EXISTS) return false;
            // Another process made it in between: judge what it made.
            attributes = QueryAttributes(partial);
            if (attributes == INVALID_FILE_ATTRIBUTES) return false;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
        if (i < n) partial[i] = path[i];
    }
    return true;
}

int32_t ReadFolderNumber(const char16_t* name) {
    size_t i = 0;
    while (IsWhiteSpace(name[i])) ++i;
    bool negative = false;
    if (name[i] == u'+' || name[i] == u'-') {
        negative = name[i] == u'-';
        ++i;
    }
    // Accumulated as a magnitude up to one past INT32_MAX, where both limits saturate.
    const uint32_t limit = negative ? 2147483648u : 2147483647u;
    uint32_t value = 0;
    for (; name[i] >= u'0' && name[i] <= u'9'; ++i) {
        const uint32_t digit = static_cast<uint32_t>(name[i] - u'0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    if (!negative) return static_cast<int32_t>(value);
    if (value == 2147483648u) return INT32_MIN;
    return -static_cast<int32_t>(value);
}

void PurgeOldRuntimes(const RuntimeFolders& held) {
    char16_t base[PATH_CAPACITY];
    if (PlatGetLocalAppDataFolder(base, PATH_CAPACITY) < 0) return;
    base[PATH_CAPACITY - 1] = 0;
    if (TextLength(base) + PURGE_MARGIN >= PATH_CAPACITY) return;
    char16_t root[PATH_CAPACITY];
    if (!FormRuntimeRoot(base, root)) return;

    PlatFindData data;
    const PlatFind find = PlatFindFirstFileAt(held.root.file, &data);
    if (find == PLAT_INVALID_HANDLE) return;

    char16_t entry[PATH_CAPACITY];
    do {
        if ((data.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        data.name[PLAT_FIND_NAME_CAPACITY - 1] = 0;
        if (IsDotName(data.name)) continue;
        const int32_t number = ReadFolderNumber(data.name);
        if (number < 1 || number >= RUNTIME_VERSION) continue;
        if (!TextFormat(entry, PATH_CAPACITY, u"%s\\%s", root, data.name)) continue;
        size_t entryLength = 0;
        if (!WithTrailingSeparator(entry, &entryLength)) continue;

        // Judged again by handle: what was listed may have been swapped since.
        const PlatFile folder =
            PlatCreateFileAt(held.root.file, data.name, REMOVAL_ACCESS, NO_DELETE_SHARING, OPEN_EXISTING, NO_FOLLOW);
        if (folder == PLAT_INVALID_HANDLE || folder == nullptr) continue;
        const uint32_t attributes = HandleAttributes(folder);
        if (IsRealFolder(attributes)) {
            RemoveOpenTree(folder, entry, entryLength);  // owns the handle
            continue;
        }
        // A link to a folder goes alone; what it leads to is not ours.
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            PlatDeleteByHandle(folder);
        }
        PlatCloseHandle(folder);
    } while (PlatFindNextFile(find, &data));
    PlatFindClose(find);
}
