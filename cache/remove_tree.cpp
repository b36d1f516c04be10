#include "cache/remove_tree.h"

#include "base/long_path.h"
#include "base/owned.h"
#include "base/text.h"

namespace {

// One folder being emptied: its handle, its open listing, the length of its
// path in the shared buffer (trailing separator included) and whether all of
// it went so far.
struct TreeLevel {
    PlatFile folder;
    PlatFind find;
    size_t length;
    bool result;
};

// The levels of the walk, a growable array on the platform heap (so heap
// faults reach it): the depth is bounded only by the path buffer (about a
// thousand levels), far more than the call stack should carry. Growing moves
// the levels, so they are reached by index only and no pointer or reference
// into the array is kept past the statement that uses it.
struct TreeStack {
    TreeLevel* levels = nullptr;  // capacity slots, the first count in use
    size_t count = 0;
    size_t capacity = 0;
    Backoff* backoff = nullptr;
    explicit TreeStack(Backoff* schedule) : backoff(schedule) {}
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

// Makes room for one more level; false when the heap has none (the levels
// stay as they were).
bool ReserveLevel(TreeStack* stack) {
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

// The innermost level's index; the stack is not empty.
size_t Top(const TreeStack& stack) { return stack.count - 1; }

void FailLevel(TreeStack* stack, size_t index) { stack->levels[index].result = false; }

// Starts listing a folder held open (its path, with its trailing separator,
// length characters, is in the buffer); on success the first entry is in data
// and the level, which now owns the folder's handle, is on the stack. On
// failure the handle is closed and the folder is left as it is.
bool OpenLevel(TreeStack* stack, PlatFile folder, size_t length, PlatFindData* data) {
    PlatFind find = PLAT_INVALID_HANDLE;
    if (length + 2 <= PATH_CAPACITY && ReserveLevel(stack)) {
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
    if (level.result) {
        bool removed = PlatDeleteByHandle(level.folder);
        while (!removed && WaitOutHold(stack->backoff, PlatGetLastError())) removed = PlatDeleteByHandle(level.folder);
        level.result = removed;
    }
    PlatCloseHandle(level.folder);
    if (stack->count > 0) path[stack->levels[Top(*stack)].length] = 0;
    return level.result;
}

// Removes one entry of the top level, opened relative to its folder; a folder
// becomes the new top level (true). False otherwise, the entry handled.
bool RemoveEntry(TreeStack* stack, const char16_t* name, size_t entryLength, char16_t* path, PlatFindData* data) {
    // Pushing the entry as a level may move the array: its parent is kept by index.
    const size_t parent = Top(*stack);
    OwnedFile entry(OpenForRemoval(stack->levels[parent].folder, name, stack->backoff));
    if (!entry.Valid()) {
        FailLevel(stack, parent);  // in use, or gone with what it held
        return false;
    }
    const uint32_t attributes = HandleAttributes(entry.Get());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        FailLevel(stack, parent);
    } else if (IsRealFolder(attributes)) {
        path[entryLength] = u'\\';
        path[entryLength + 1] = 0;
        if (OpenLevel(stack, entry.Release(), entryLength + 1, data)) return true;  // descend
        FailLevel(stack, parent);
    } else if (!RemoveNameOf(entry.Get(), attributes, stack->backoff)) {
        FailLevel(stack, parent);
    }
    return false;
}

}  // namespace

uint32_t HandleAttributes(PlatFile file) {
    uint32_t attributes = 0;
    return PlatGetHandleAttributes(file, &attributes) ? attributes : INVALID_FILE_ATTRIBUTES;
}

PlatFile OpenForRemoval(PlatFile folder, const char16_t* name, Backoff* backoff) {
    PlatFile entry = PLAT_INVALID_HANDLE;
    do {
        entry = PlatCreateFileAt(folder, name, REMOVAL_ACCESS, NO_DELETE_SHARING, OPEN_EXISTING, NO_FOLLOW);
    } while ((entry == PLAT_INVALID_HANDLE || entry == nullptr) && WaitOutHold(backoff, PlatGetLastError()));
    return entry;
}

bool RemoveNameOf(PlatFile entry, uint32_t attributes, Backoff* backoff) {
    // Whatever it was when listed, a link now goes alone.
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    // A file with other names is shared with them: only this name goes, its
    // attributes (which all its names share) stay as they are.
    uint32_t links = 1;
    const bool shared = !link && (!PlatGetLinkCount(entry, &links) || links > 1);
    bool bitsReset = false;
    for (;;) {
        if (PlatDeleteByHandle(entry)) return true;
        uint32_t error = PlatGetLastError();
        // Where the system cannot delete past the read-only bit, a file of its
        // own has its bits reset first (once).
        if (!link && !shared && !bitsReset &&
            (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
            if (!PlatSetHandleAttributes(entry, FILE_ATTRIBUTE_NORMAL)) return false;
            bitsReset = true;
            if (PlatDeleteByHandle(entry)) return true;
            error = PlatGetLastError();
        }
        if (!WaitOutHold(backoff, error)) return false;
    }
}

bool IsRealFolder(uint32_t attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Empties and removes the folder held by folder (owned from here on), whose
// path with its trailing separator, length characters, is in the buffer.
bool RemoveOpenTree(PlatFile folder, char16_t* path, size_t length, Backoff* backoff) {
    TreeStack stack(backoff);
    PlatFindData data;
    if (!OpenLevel(&stack, folder, length, &data)) return false;

    // data holds an entry of the top level not yet handled.
    for (;;) {
        bool stop = false;
        data.name[PLAT_FIND_NAME_CAPACITY - 1] = 0;
        if (!IsDotName(data.name)) {
            const size_t at = stack.levels[Top(stack)].length;
            const size_t nameLength = TextLength(data.name);
            if (at + nameLength + 2 > PATH_CAPACITY) {
                // Its path would not fit: give up the rest of this folder.
                FailLevel(&stack, Top(stack));
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
            if (!stop && PlatFindNextFile(stack.levels[Top(stack)].find, &data)) break;
            stop = false;
            const bool result = CloseLevel(&stack, path);
            if (stack.count == 0) return result;
            if (!result) FailLevel(&stack, Top(stack));
        }
    }
}

// Brings a folder path to the form the walk works with: one trailing separator.
bool WithTrailingSeparator(char16_t* path, size_t* length) {
    size_t n = TextLength(path);
    if (n == 0 || n + 2 > PATH_CAPACITY) return false;  // "" has no last character to look at
    if (!IsPathSeparator(path[n - 1])) {
        if (n + 2 >= PATH_CAPACITY) return false;
        path[n++] = u'\\';
        path[n] = 0;
    }
    *length = n;
    return true;
}
