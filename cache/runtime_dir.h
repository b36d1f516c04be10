// The per-user runtime cache: "<local app data>\Vorlane Runtime\<version>".
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/file_handle.h"

constexpr int32_t RUNTIME_VERSION = 202600;

// RuntimeRoot and RuntimeDir, held open from their preparation to the end of
// the hand-off: opened without following links, checked by handle to be real
// folders, with read and write sharing but no delete sharing, so nobody can
// rename or replace them meanwhile and every path below them resolves through
// real folders. Released before the after-run removal.
struct RuntimeFolders {
    FileHandle root;
    FileHandle dir;
    void Release() {
        dir.Close();
        root.Close();
    }
};

// Creates RuntimeDir (and RuntimeRoot when missing), refusing links and files
// in the way, and holds both in held. rootExisted is written before anything
// is created. Returns a heap copy of RuntimeDir in plain form (PlatHeapFree),
// or null.
char16_t* PrepareRuntimeDir(bool* rootExisted, RuntimeFolders* held);

// Creates the components of path after its first prefixLength characters one
// by one; true when each exists as a real folder (not a link, not a file).
bool CreateDirChain(const char16_t* path, size_t prefixLength);

// Removes the folders of runtime versions 1 to RUNTIME_VERSION - 1 from
// RuntimeRoot, listed through its held handle; folder links are removed as
// links. Silent.
void PurgeOldRuntimes(const RuntimeFolders& held);

// Reads a folder name as a signed 32-bit decimal: leading white space, one
// optional sign, digits up to the first non-digit; saturates; 0 without digits.
int32_t ReadFolderNumber(const char16_t* name);

// Removes the folder in path (a writable PATH_CAPACITY buffer, with or
// without a trailing separator) and everything in it. Every folder is opened
// without following links and checked by handle, every entry is opened
// relative to its folder's handle and removed by handle: a link is removed as
// a link, and one swapped in at any moment is never entered. True when
// everything went. Works without recursion on the call stack.
bool RemoveTree(char16_t* path);
