#include "tools/host/work_tree.h"

#include <string>
#include <vector>

#include "base/long_path.h"
#include "base/owned.h"
#include "base/text.h"
#include "cache/remove_tree.h"
#include "tools/host/output_internal.h"

namespace {

// The name as the name parsers read it: the tools' marks are ASCII, so any
// other unit only has to stay a unit that is not one of them.
std::string AsciiOf(const char16_t* name) {
    std::string text;
    for (; *name != 0; ++name) text += *name < 0x80 ? static_cast<char>(*name) : '?';
    return text;
}

// path + "\" + name (or path alone, name null) in a walk buffer, with its
// trailing separator; false when it does not fit.
bool WalkPath(const char16_t* path, const char16_t* name, char16_t* buffer, size_t* length) {
    size_t n = 0;
    for (const char16_t* part : {path, name}) {
        if (part == nullptr) continue;
        if (n != 0 && !IsPathSeparator(buffer[n - 1])) {
            if (n + 1 >= PATH_CAPACITY) return false;
            buffer[n++] = u'\\';
        }
        for (; *part != 0; ++part) {
            if (n + 1 >= PATH_CAPACITY) return false;
            buffer[n++] = *part;
        }
    }
    buffer[n] = 0;
    return WithTrailingSeparator(buffer, length);
}

bool RemoveHeldTree(PlatFile folder, const char16_t* path, const char16_t* name) {
    char16_t buffer[PATH_CAPACITY];
    size_t length = 0;
    if (!WalkPath(path, name, buffer, &length)) {
        PlatCloseHandle(folder);
        return false;
    }
    Backoff backoff;
    return RemoveOpenTree(folder, buffer, length, &backoff);
}

}  // namespace

PlatFile MakeWorkFolderAt(PlatFile parent, const char16_t* name, bool* taken) {
    bool created = false;
    *taken = false;
    OwnedFile folder(PlatCreateFolderAt(parent, name, REMOVAL_ACCESS, NO_DELETE_SHARING, &created));
    if (!folder.Valid()) return nullptr;
    if (!created || !IsRealFolder(HandleAttributes(folder.Get()))) {
        *taken = true;
        return nullptr;
    }
    return folder.Release();
}

bool RemoveWorkTree(PlatFile folder, const char16_t* path) { return RemoveHeldTree(folder, path, nullptr); }

size_t RemoveLeftoversIn(PlatFile folder, const char16_t* path, bool work, ProcessRunsCheck processRuns) {
    std::vector<std::u16string> names;
    PlatFindData data;
    const PlatFind find = PlatFindFirstFileAt(folder, &data);
    if (find == PLAT_INVALID_HANDLE) return 0;
    do {
        data.name[PLAT_FIND_NAME_CAPACITY - 1] = 0;
        if (!IsDotName(data.name)) names.emplace_back(data.name);
    } while (PlatFindNextFile(find, &data));
    PlatFindClose(find);

    size_t removed = 0;
    for (const std::u16string& name : names) {
        uint32_t pid = 0;
        const std::string ascii = AsciiOf(name.c_str());
        const bool ours = work ? ToolParseWorkFolderName(ascii, &pid) : ToolParseTemporaryFileName(ascii, &pid);
        if (!ours || processRuns(pid)) continue;
        // No sharing at all: any handle still open on it, its owner's first, refuses this open.
        OwnedFile entry(PlatCreateFileAt(folder, name.c_str(), REMOVAL_ACCESS, 0, OPEN_EXISTING, NO_FOLLOW));
        if (!entry.Valid()) continue;
        const uint32_t attributes = HandleAttributes(entry.Get());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
        if (work) {
            if (IsRealFolder(attributes) && RemoveHeldTree(entry.Release(), path, name.c_str())) ++removed;
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            Backoff noWaiting{BACKOFF_STEPS};
            if (RemoveNameOf(entry.Get(), attributes, &noWaiting)) ++removed;
        }
    }
    return removed;
}
