#include "cache/runtime_dir.h"

#include "cache/long_path.h"
#include "launcher/text.h"
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

bool RemoveOneDirectory(const char16_t* path) {
    char16_t scratch[LONG_PATH_CAPACITY];
    return PlatRemoveDirectory(ToLongPath(path, scratch));
}

// Files and file links alike: read-only, hidden and system are cleared first,
// otherwise the deletion of a read-only file fails.
bool DeleteOneFile(const char16_t* path) {
    char16_t scratch[LONG_PATH_CAPACITY];
    const char16_t* longPath = ToLongPath(path, scratch);
    PlatSetFileAttributes(longPath, FILE_ATTRIBUTE_NORMAL);
    return PlatDeleteFile(longPath);
}

// One folder being emptied: its open listing, the length of its path in the
// shared buffer (trailing separator included) and whether all of it went so far.
struct TreeLevel {
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
        // Only reached with open listings when the walk is abandoned; normally empty.
        for (size_t i = 0; i < count; ++i) PlatFindClose(levels[i].find);
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

// Starts listing the folder whose path (with its trailing separator, length
// characters) is in the buffer; on success the first entry is in data and the
// level is on the stack. False when the folder cannot be listed or no level
// record can be had: the folder is then left as it is.
bool OpenLevel(TreeStack* stack, char16_t* path, size_t length, PlatFindData* data) {
    if (length + 2 > PATH_CAPACITY) return false;
    if (!GrowStack(stack)) return false;
    path[length] = u'*';
    path[length + 1] = 0;
    PlatFind find;
    {
        char16_t scratch[LONG_PATH_CAPACITY];
        find = PlatFindFirstFile(ToLongPath(path, scratch), data);
    }
    path[length] = 0;
    if (find == PLAT_INVALID_HANDLE) return false;
    stack->levels[stack->count++] = TreeLevel{find, length, true};
    return true;
}

// Closes the top level's listing and removes its folder when everything in it
// went; returns that level's result and leaves the buffer at its parent's path.
bool CloseLevel(TreeStack* stack, char16_t* path) {
    TreeLevel level = stack->levels[--stack->count];
    PlatFindClose(level.find);
    path[level.length] = 0;
    if (level.result && !RemoveOneDirectory(path)) level.result = false;
    if (stack->count > 0) path[stack->levels[stack->count - 1].length] = 0;
    return level.result;
}

}  // namespace

char16_t* PrepareRuntimeDir(bool* rootExisted) {
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
    return TextDuplicate(dir);
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

void PurgeOldRuntimes() {
    char16_t root[PATH_CAPACITY];
    if (PlatGetLocalAppDataFolder(root, PATH_CAPACITY) < 0) return;
    root[PATH_CAPACITY - 1] = 0;
    size_t length = TextLength(root);
    if (length + PURGE_MARGIN >= PATH_CAPACITY) return;
    for (size_t i = 0; ROOT_SUFFIX[i] != 0; ++i) root[length++] = ROOT_SUFFIX[i];
    root[length] = 0;

    char16_t pattern[PATH_CAPACITY];
    if (!TextFormat(pattern, PATH_CAPACITY, u"%s\\*", root)) return;

    PlatFindData data;
    PlatFind find;
    {
        char16_t scratch[LONG_PATH_CAPACITY];
        find = PlatFindFirstFile(ToLongPath(pattern, scratch), &data);
    }
    if (find == PLAT_INVALID_HANDLE) return;

    char16_t entry[PATH_CAPACITY];
    do {
        if ((data.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        data.name[PLAT_FIND_NAME_CAPACITY - 1] = 0;
        if (IsDotName(data.name)) continue;
        const int32_t number = ReadFolderNumber(data.name);
        if (number < 1 || number >= RUNTIME_VERSION) continue;
        if (!TextFormat(entry, PATH_CAPACITY, u"%s\\%s", root, data.name)) continue;
        if ((data.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            // A link to a folder goes alone; what it leads to is not ours.
            RemoveOneDirectory(entry);
        } else {
            RemoveTree(entry);
        }
    } while (PlatFindNextFile(find, &data));
    PlatFindClose(find);
}

bool RemoveTree(char16_t* path) {
    if (path == nullptr || path[0] == 0) return false;  // "" would become "\", the drive root
    size_t n = TextLength(path);
    if (n + 2 > PATH_CAPACITY) return false;
    if (!IsSeparator(path[n - 1])) {
        if (n + 2 >= PATH_CAPACITY) return false;
        path[n++] = u'\\';
        path[n] = 0;
    }

    // The folder itself must not be a link: listing through one would empty
    // its target. Asked without the trailing separator, which could make the
    // query resolve the link.
    {
        const char16_t separator = path[n - 1];
        path[n - 1] = 0;
        const uint32_t attributes = n > 1 ? QueryAttributes(path) : INVALID_FILE_ATTRIBUTES;
        path[n - 1] = separator;
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return false;
        }
    }

    TreeStack stack;
    PlatFindData data;
    if (!OpenLevel(&stack, path, n, &data)) return false;

    // data holds an entry of the top level not yet handled.
    for (;;) {
        TreeLevel* level = &stack.levels[stack.count - 1];
        bool stop = false;
        data.name[PLAT_FIND_NAME_CAPACITY - 1] = 0;
        if (!IsDotName(data.name)) {
            const size_t length = level->length;
            const size_t nameLength = TextLength(data.name);
            if (length + nameLength + 2 > PATH_CAPACITY) {
                // Its path would not fit: give up the rest of this folder.
                level->result = false;
                stop = true;
            } else {
                for (size_t i = 0; i <= nameLength; ++i) path[length + i] = data.name[i];
                const size_t entryLength = length + nameLength;
                if ((data.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                    const bool removed = (data.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                             ? RemoveOneDirectory(path)
                                             : DeleteOneFile(path);
                    if (!removed) level->result = false;
                } else if ((data.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    path[entryLength] = u'\\';
                    path[entryLength + 1] = 0;
                    if (OpenLevel(&stack, path, entryLength + 1, &data)) continue;  // descend
                    stack.levels[stack.count - 1].result = false;
                } else if (!DeleteOneFile(path)) {
                    level->result = false;
                }
                path[length] = 0;
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
