#include "cache/runtime_dir.h"

#include "base/long_path.h"
#include "base/text.h"
#include "platform/platform.h"

namespace {

const char16_t ROOT_FORMAT[] = u"%s\\Vorlane Runtime";
const char16_t DIR_FORMAT[] = u"%s\\Vorlane Runtime\\%d";
const char16_t ROOT_SUFFIX[] = u"\\Vorlane Runtime";

// The purge leaves this much room after the base folder, whatever the root's name.
constexpr size_t PURGE_MARGIN = 24;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsDotName(const char16_t* name) {
    return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0));
}

bool IsWhiteSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

uint32_t QueryAttributes(const char16_t* path) {
    char16_t scratch[LONG_PATH_CAPACITY];
    return PlatGetFileAttributes(ToLongPath(path, scratch));
}

bool CreateOneDirectory(const char16_t* path) {
    char16_t scratch[LONG_PATH_CAPACITY];
    return PlatCreateDirectory(ToLongPath(path, scratch));
}

// Opened to be listed and removed: never through a link, and with no delete
// sharing, so nobody renames it while we work in it.
constexpr uint32_t REMOVAL_ACCESS = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr uint32_t HOLD_ACCESS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr uint32_t NO_DELETE_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr uint32_t NO_FOLLOW = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// The attribute bits of what a handle holds; INVALID_FILE_ATTRIBUTES when unknown.
uint32_t HandleAttributes(PlatFile file) {
    uint32_t attributes = 0;
    return PlatGetHandleAttributes(file, &attributes) ? attributes : INVALID_FILE_ATTRIBUTES;
}

bool IsRealFolder(uint32_t attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Keeps the handle only when it holds a real folder.
bool KeepRealFolder(PlatFile opened, FileHandle* held) {
    held->file = opened;
    if (!held->Valid()) return false;
    if (IsRealFolder(HandleAttributes(held->file))) return true;
    held->Close();
    return false;
}

// One folder being emptied: its handle, its open listing, the length of its
// path in the shared buffer (trailing separator included) and whether all of
// it went so far.
struct TreeLevel {
    PlatFile folder;
    PlatFind find;
    size_t length;
    bool result;
};

// The levels of the walk, on the heap: the depth is bounded only by the path
// buffer (about a thousand levels), far more than the call stack should carry.
struct TreeStack {
    TreeLevel* levels = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    TreeStack() = default;
    TreeStack(const TreeStack&) = delete;
    TreeStack& operator=(const TreeStack&) = delete;
    ~TreeStack() {
        // Only reached with open levels when the walk is abandoned; normally empty.
        for (size_t i = 0; i < count; ++i) {
            PlatFindClose(levels[i].find);
            PlatCloseHandle(levels[i].folder);
        }
        PlatHeapFree(levels);
    }
};

bool GrowStack(TreeStack* stack) {
    if (stack->count < stack->capacity) return true;
    const size_t capacity = stack->capacity == 0 ? 16 : stack->capacity * 2;
    auto* levels = static_cast<TreeLevel*>(PlatHeapAlloc(capacity * sizeof(TreeLevel)));
    if (levels == nullptr) return false;
    for (size_t i = 0; i < stack->count; ++i) levels[i] = stack->levels[i];
    PlatHeapFree(stack->levels);
    stack->levels = levels;
    stack->capacity = capacity;
    return true;
}

// Starts listing a folder held open (its path, with its trailing separator,
// length characters, is in the buffer); on success the first entry is in data
// and the level, which now owns the folder's handle, is on the stack. On
// failure the handle is closed and the folder is left as it is.
bool OpenLevel(TreeStack* stack, PlatFile folder, size_t length, PlatFindData* data) {
    PlatFind find = PLAT_INVALID_HANDLE;
    if (length + 2 <= PATH_CAPACITY && GrowStack(stack)) {
        // A read-only folder cannot be removed; its bit goes first.
        const uint32_t attributes = HandleAttributes(folder);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            PlatSetHandleAttributes(folder, FILE_ATTRIBUTE_NORMAL);
        }
        find = PlatFindFirstFileAt(folder, data);
    }
    if (find == PLAT_INVALID_HANDLE) {
        PlatCloseHandle(folder);
        return false;
    }
    stack->levels[stack->count++] = TreeLevel{folder, find, length, true};
    return true;
}

// Closes the top level's listing and removes its folder when everything in it
// went; returns that level's result and leaves the buffer at its parent's path.
bool CloseLevel(TreeStack* stack, char16_t* path) {
    TreeLevel level = stack->levels[--stack->count];
    PlatFindClose(level.find);
    path[level.length] = 0;
    if (level.result && !PlatDeleteByHandle(level.folder)) level.result = false;
    PlatCloseHandle(level.folder);
    if (stack->count > 0) path[stack->levels[stack->count - 1].length] = 0;
    return level.result;
}

// Removes one entry of the top level, opened relative to its folder; a folder
// becomes the new top level (true). False otherwise, the entry handled.
bool RemoveEntry(TreeStack* stack, const char16_t* name, size_t entryLength, char16_t* path, PlatFindData* data) {
    TreeLevel* level = &stack->levels[stack->count - 1];
    const PlatFile entry =
        PlatCreateFileAt(level->folder, name, REMOVAL_ACCESS, NO_DELETE_SHARING, OPEN_EXISTING, NO_FOLLOW);
    if (entry == PLAT_INVALID_HANDLE || entry == nullptr) {
        level->result = false;  // in use, or gone with what it held
        return false;
    }
    const uint32_t attributes = HandleAttributes(entry);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        level->result = false;
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // Whatever it was when listed, it is a link now: it goes alone.
        if (!PlatDeleteByHandle(entry)) level->result = false;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        path[entryLength] = u'\\';
        path[entryLength + 1] = 0;
        if (OpenLevel(stack, entry, entryLength + 1, data)) return true;  // descend
        stack->levels[stack->count - 1].result = false;
        return false;
    } else {
        // Read-only, hidden and system go first: a read-only file is not deleted otherwise.
        if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
            PlatSetHandleAttributes(entry, FILE_ATTRIBUTE_NORMAL);
        }
        if (!PlatDeleteByHandle(entry)) level->result = false;
    }
    PlatCloseHandle(entry);
    return false;
}

// Empties and removes the folder held by folder (owned from here on), whose
// path with its trailing separator, length characters, is in the buffer.
bool RemoveOpenTree(PlatFile folder, char16_t* path, size_t length) {
    TreeStack stack;
    PlatFindData data;
    if (!OpenLevel(&stack, folder, length, &data)) return false;

    // data holds an entry of the top level not yet handled.
    for (;;) {
        bool stop = false;
        data.name[PLAT_FIND_NAME_CAPACITY - 1] = 0;
        if (!IsDotName(data.name)) {
            TreeLevel* level = &stack.levels[stack.count - 1];
            const size_t at = level->length;
            const size_t nameLength = TextLength(data.name);
            if (at + nameLength + 2 > PATH_CAPACITY) {
                // Its path would not fit: give up the rest of this folder.
                level->result = false;
                stop = true;
            } else {
                for (size_t i = 0; i <= nameLength; ++i) path[at + i] = data.name[i];
                if (RemoveEntry(&stack, path + at, at + nameLength, path, &data)) continue;  // descended
                path[at] = 0;
            }
        }

        // The next entry of the innermost level; finished levels hand their
        // result to their parent.
        for (;;) {
            if (!stop && PlatFindNextFile(stack.levels[stack.count - 1].find, &data)) break;
            stop = false;
            const bool result = CloseLevel(&stack, path);
            if (stack.count == 0) return result;
            if (!result) stack.levels[stack.count - 1].result = false;
        }
    }
}

// Brings a folder path to the form the walk works with: one trailing separator.
// False when the path, its separator and "*" would not fit.
bool WithTrailingSeparator(char16_t* path, size_t* length) {
    size_t n = TextLength(path);
    if (n + 2 > PATH_CAPACITY) return false;
    if (!IsSeparator(path[n - 1])) {
        if (n + 2 >= PATH_CAPACITY) return false;
        path[n++] = u'\\';
        path[n] = 0;
    }
    *length = n;
    return true;
}

}  // namespace

char16_t* PrepareRuntimeDir(bool* rootExisted, RuntimeFolders* held) {
    held->Release();
    char16_t base[PATH_CAPACITY];
    if (PlatGetLocalAppDataFolder(base, PATH_CAPACITY) != 0) return nullptr;
    base[PATH_CAPACITY - 1] = 0;
    const size_t baseLength = TextLength(base);

    char16_t root[PATH_CAPACITY];
    if (!TextFormat(root, PATH_CAPACITY, ROOT_FORMAT, base)) return nullptr;
    // Decided before anything is created: the after-run removal may take the
    // root away only when this run made it.
    *rootExisted = QueryAttributes(root) != INVALID_FILE_ATTRIBUTES;

    char16_t dir[PATH_CAPACITY];
    if (!TextFormat(dir, PATH_CAPACITY, DIR_FORMAT, base, RUNTIME_VERSION)) return nullptr;
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
        if (i < n && !IsSeparator(path[i])) {
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
    char16_t root[PATH_CAPACITY];
    if (PlatGetLocalAppDataFolder(root, PATH_CAPACITY) < 0) return;
    root[PATH_CAPACITY - 1] = 0;
    size_t length = TextLength(root);
    if (length + PURGE_MARGIN >= PATH_CAPACITY) return;
    for (size_t i = 0; ROOT_SUFFIX[i] != 0; ++i) root[length++] = ROOT_SUFFIX[i];
    root[length] = 0;

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

bool RemoveTree(char16_t* path) {
    if (path == nullptr || path[0] == 0) return false;  // "" would become "\", the drive root
    size_t n = 0;
    if (!WithTrailingSeparator(path, &n)) return false;

    // The folder itself is opened without the trailing separator, never
    // through a link: listing through one would empty its target.
    PlatFile folder = PLAT_INVALID_HANDLE;
    if (n > 1) {
        const char16_t separator = path[n - 1];
        path[n - 1] = 0;
        char16_t scratch[LONG_PATH_CAPACITY];
        folder = PlatCreateFile(ToLongPath(path, scratch), REMOVAL_ACCESS, NO_DELETE_SHARING, OPEN_EXISTING, NO_FOLLOW);
        path[n - 1] = separator;
    }
    if (folder == PLAT_INVALID_HANDLE || folder == nullptr) return false;
    if (!IsRealFolder(HandleAttributes(folder))) {
        PlatCloseHandle(folder);
        return false;
    }
    return RemoveOpenTree(folder, path, n);
}
