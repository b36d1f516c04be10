#include "cache/runtime_dir.h"

#include "base/text.h"
#include "cache/install.h"
#include "cache/remove_tree.h"
#include "platform/platform.h"

namespace {

// The purge leaves this much room after the base folder, whatever the root's name.
constexpr size_t PURGE_MARGIN = 24;

bool IsWhiteSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Opens or creates one folder of the chain inside parent; keeps it only when
// it is a real folder (a link standing there is refused, never followed).
bool OpenChainFolder(PlatFile parent, const char16_t* name, OwnedFile* held, bool* created) {
    held->Reset(PlatCreateFolderAt(parent, name, CACHE_FOLDER_ACCESS, NO_DELETE_SHARING, created));
    if (!held->Valid()) return false;
    if (IsRealFolder(HandleAttributes(held->Get()))) return true;
    held->Reset();
    return false;
}

// What a removal takes of the entry it opens: a folder (a real one with all it
// holds, a folder link as a link), or a file (anything but a real folder, by
// its name alone).
enum class Take { Folder, File };

// Removes one entry of an open folder whose path (with its trailing
// separator, length characters) is in the buffer, if it is what take names;
// judged by handle, never by what a listing said. Short holds are waited out
// on backoff's schedule. Best effort.
void RemoveEntryOf(PlatFile folder, const char16_t* name, char16_t* path, size_t length, Take take,
                   Backoff* backoff) {
    OwnedFile entry(OpenForRemoval(folder, name, backoff));
    if (!entry.Valid()) return;  // in use, or gone
    const uint32_t attributes = HandleAttributes(entry.Get());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (IsRealFolder(attributes)) {
        if (take == Take::Folder && TextFormat(path + length, PATH_CAPACITY - length, u"%s\\", name)) {
            RemoveOpenTree(entry.Release(), path, TextLength(path), backoff);
        }
        path[length] = 0;
        return;
    }
    const bool folderLink = (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
                            (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    if (folderLink || take == Take::File) RemoveNameOf(entry.Get(), attributes, backoff);
}

bool RefuseRewritten(const char16_t* path, Ending* ending) {
    if (ending != nullptr) *ending = EndWith(Outcome::RewrittenCachePath, path);
    return false;
}

}  // namespace

bool PrepareRuntimeDir(RuntimeCache* cache, Ending* ending) {
    cache->Close();
    cache->rootExisted = false;
    cache->libraryExisted = false;
    cache->libraryPath[0] = 0;
    if (ending != nullptr) *ending = EndWith(Outcome::RuntimeDir);
    char16_t base[PATH_CAPACITY];
    if (PlatGetLocalAppDataFolder(base, PATH_CAPACITY) != 0) return false;
    base[PATH_CAPACITY - 1] = 0;
    // Any process of the user can set the folder's value, "\\?\" form included;
    // the loader is handed the plain form, so a name Windows would trim there is
    // refused before anything is made in it.
    if (PlainFormRewrites(base)) return RefuseRewritten(base, ending);
    cache->baseLength = TextLength(base);
    if (!TextFormat(cache->rootPath, PATH_CAPACITY, u"%s\\%s", base, RUNTIME_ROOT_NAME)) return false;
    if (!TextFormat(cache->dirPath, PATH_CAPACITY, u"%s\\%d", cache->rootPath, RUNTIME_VERSION)) return false;

    // The base is the user's own folder, looked up once as the system gives it;
    // everything below it is opened relative to its parent and never followed.
    OwnedFile& baseFolder = cache->base;
    {
        char16_t scratch[LONG_PATH_CAPACITY];
        baseFolder.Reset(PlatCreateFile(ToLongPath(base, scratch), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS));
    }
    if (!baseFolder.Valid()) return false;
    bool created = false;
    const bool rootHeld = OpenChainFolder(baseFolder.Get(), RUNTIME_ROOT_NAME, &cache->root, &created);
    // Decided by the open that would have created it: the after-run removal may
    // take the root away only when this run made it.
    cache->rootExisted = !created && (rootHeld || (PlatGetLastError() != ERROR_FILE_NOT_FOUND &&
                                                   PlatGetLastError() != ERROR_PATH_NOT_FOUND));
    if (!rootHeld) return false;
    char16_t version[16];
    TextFormat(version, 16, u"%d", RUNTIME_VERSION);
    if (!OpenChainFolder(cache->root.Get(), version, &cache->dir, &created)) {
        cache->Close();
        return false;
    }
    // A link or junction above the cache may lead into such a folder: what the
    // held folder resolves to is what the loader will be handed.
    char16_t final[LONG_PATH_CAPACITY];
    if (PlatGetFinalPath(cache->dir.Get(), final, LONG_PATH_CAPACITY) == 0) {
        cache->Close();
        return false;
    }
    if (PlainFormRewrites(final)) {
        cache->Close();
        return RefuseRewritten(IsVerbatimPath(final) ? final + 4 : final, ending);
    }
    return true;
}

bool FormLibraryPath(RuntimeCache* cache, Ending* ending) {
    if (!TextFormat(cache->libraryPath, PATH_CAPACITY, u"%s\\%s", cache->dirPath, LIBRARY_NAME)) {
        cache->libraryPath[0] = 0;
        if (ending != nullptr) *ending = EndWith(Outcome::LibraryPath);
        return false;
    }
    const OwnedFile probe(PlatCreateFileAt(cache->dir.Get(), LIBRARY_NAME, FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                           NO_FOLLOW));
    const uint32_t error = probe.Valid() ? 0 : PlatGetLastError();
    cache->libraryExisted = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
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

void PurgeOldRuntimes(const RuntimeCache& cache, Backoff* waits) {
    if (cache.baseLength + PURGE_MARGIN >= PATH_CAPACITY) return;
    char16_t path[PATH_CAPACITY];
    PlatFindData data;

    // What an interrupted installation left beside the library: its temporary
    // files, known by their name alone. Everything else there belongs to the
    // runtime (what it unpacks, caches, settings), which another app may be
    // using right now. A file another run is still writing is held without
    // delete sharing and stays.
    size_t length = 0;
    if (TextFormat(path, PATH_CAPACITY, u"%s\\", cache.dirPath)) {
        length = TextLength(path);
        const OwnedFind find(PlatFindFirstFileAt(cache.dir.Get(), &data));
        if (find.Valid()) {
            do {
                data.name[PLAT_FIND_NAME_CAPACITY - 1] = 0;
                if (!IsInstallTemporaryName(data.name)) continue;
                RemoveEntryOf(cache.dir.Get(), data.name, path, length, Take::File, waits);
            } while (PlatFindNextFile(find.Get(), &data));
        }
    }

    if (!TextFormat(path, PATH_CAPACITY, u"%s\\", cache.rootPath)) return;
    length = TextLength(path);
    const OwnedFind find(PlatFindFirstFileAt(cache.root.Get(), &data));
    if (!find.Valid()) return;
    do {
        if ((data.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        data.name[PLAT_FIND_NAME_CAPACITY - 1] = 0;
        if (IsDotName(data.name)) continue;
        const int32_t number = ReadFolderNumber(data.name);
        if (number < 1 || number >= RUNTIME_VERSION) continue;
        // Judged again by handle: what was listed may have been swapped since.
        RemoveEntryOf(cache.root.Get(), data.name, path, length, Take::Folder, waits);
    } while (PlatFindNextFile(find.Get(), &data));
}

void RemoveRuntimeFolders(RuntimeCache* cache, bool withRoot, Backoff* waits) {
    char16_t path[PATH_CAPACITY];
    size_t length = 0;
    char16_t version[16];
    TextFormat(version, 16, u"%d", RUNTIME_VERSION);
    cache->dir.Reset();
    if (TextFormat(path, PATH_CAPACITY, u"%s", cache->rootPath) && WithTrailingSeparator(path, &length)) {
        RemoveEntryOf(cache->root.Get(), version, path, length, Take::Folder, waits);
    }
    cache->root.Reset();
    if (withRoot && TextFormat(path, PATH_CAPACITY, u"%s", cache->rootPath) && cache->baseLength < TextLength(path)) {
        path[cache->baseLength] = 0;
        if (WithTrailingSeparator(path, &length)) {
            RemoveEntryOf(cache->base.Get(), RUNTIME_ROOT_NAME, path, length, Take::Folder, waits);
        }
    }
    cache->Close();
}
