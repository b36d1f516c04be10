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

// RuntimeRoot below the local app data folder base, "<base>\Vorlane Runtime",
// into root (PATH_CAPACITY characters); false when it does not fit.
bool FormRuntimeRoot(const char16_t* base, char16_t* root);

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

