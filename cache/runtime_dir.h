// The per-user runtime cache: "<local app data>\Vorlane Runtime\<version>",
// prepared once per run and held by handle from then on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/long_path.h"
#include "base/names.h"
#include "base/outcome.h"
#include "base/owned.h"
#include "cache/backoff.h"

constexpr int32_t RUNTIME_VERSION = 202600;

// The cache folders are held for listing and opening through, with read and
// write sharing but no delete sharing: while any start holds them nobody can
// open them for deletion, so nobody renames or replaces them, and every path
// below them resolves through these very folders. Holding no delete access
// themselves lets concurrent starts hold them too; the removal asks for it
// only once its own hold is let go.
constexpr uint32_t CACHE_FOLDER_ACCESS =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

// The run's one record of the cache, filled at stage 10 (the library path and
// flag at stage 11) and passed down: nothing below it looks the local app data
// folder up again or opens a cache folder by path.
struct RuntimeCache {
    OwnedFile base;                       // the local app data folder, as the system named it
    OwnedFile root;                       // RuntimeRoot, opened inside base
    OwnedFile dir;                        // RuntimeDir, opened inside root
    char16_t rootPath[PATH_CAPACITY];     // plain paths, for the loader and the length rules
    char16_t dirPath[PATH_CAPACITY];
    char16_t libraryPath[PATH_CAPACITY];  // empty until stage 11
    size_t baseLength;                    // the local app data folder's length
    bool rootExisted;                     // something stood at RuntimeRoot before this run
    bool libraryExisted;                  // something stood at the library path before the installation
    void Close() {
        dir.Reset();
        root.Reset();
        base.Reset();
    }
};

// Stage 10: asks for the local app data folder once, opens it, then opens or
// creates "Vorlane Runtime" inside it and the version folder inside that, each
// relative to its parent's handle and never through a link, and holds both.
// rootExisted is written before anything is created. False when a path does
// not fit, a component is a link or a file, or a folder cannot be made
// (RuntimeDir); or when Windows would read the cache's path as another, given
// in plain form, as the loader is: the folder as the system names it, before
// anything is made, or the held version folder's final path, wherever links
// above it lead (RewrittenCachePath). The ending, when asked for, says which.
bool PrepareRuntimeDir(RuntimeCache* cache, Ending* ending = nullptr);

// Stage 11: the library path, and whether anything stands there now. False
// when the path does not fit PATH_CAPACITY characters (LibraryPath, the
// ending when asked for).
bool FormLibraryPath(RuntimeCache* cache, Ending* ending = nullptr);

// Removes the folders of runtime versions 1 to RUNTIME_VERSION - 1 from the
// held RuntimeRoot, whole, and in RuntimeDir the files an interrupted
// installation left (its temporary names only: anything else there is the
// runtime's own and stays); folder links are removed as links, files with
// more names lose only this one. Holds are waited out on the start's one
// schedule. Silent.
void PurgeOldRuntimes(const RuntimeCache& cache, Backoff* waits);

// The after-run removal: RuntimeDir, and RuntimeRoot when withRoot, each let go
// and opened again for deletion relative to its held parent, never through a
// link, then emptied and removed through that handle; a folder another start
// still holds stays. Holds are waited out on the start's one schedule.
// Closes the record. Best effort, silent.
void RemoveRuntimeFolders(RuntimeCache* cache, bool withRoot, Backoff* waits);

// Reads a folder name as a signed 32-bit decimal: leading white space, one
// optional sign, digits up to the first non-digit; saturates; 0 without digits.
int32_t ReadFolderNumber(const char16_t* name);
