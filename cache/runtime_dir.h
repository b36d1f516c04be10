// The per-user runtime cache: "<local app data>\Vorlane Runtime\<version>".
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t RUNTIME_VERSION = 202600;

// Creates RuntimeDir (and RuntimeRoot when missing), refusing links and files
// in the way. rootExisted is written before anything is created. Returns a
// heap copy of RuntimeDir in plain form (PlatHeapFree), or null.
char16_t* PrepareRuntimeDir(bool* rootExisted);

// Creates the components of path after its first prefixLength characters one
// by one; true when each exists as a real folder (not a link, not a file).
bool CreateDirChain(const char16_t* path, size_t prefixLength);

// Removes the folders of runtime versions 1 to RUNTIME_VERSION - 1 from
// RuntimeRoot; links are removed as links. Silent.
void PurgeOldRuntimes();

// Reads a folder name as a signed 32-bit decimal: leading white space, one
// optional sign, digits up to the first non-digit; saturates; 0 without digits.
int32_t ReadFolderNumber(const char16_t* name);

// Removes the folder in path (a writable PATH_CAPACITY buffer, with or
// without a trailing separator) and everything in it, never following links.
// True when everything went. Works without recursion on the call stack.
bool RemoveTree(char16_t* path);
