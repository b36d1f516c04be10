// Removing the tools' work folders and what a killed tool left, by handle:
// the cache's link-safe removal (cache/remove_tree.h) over platform.h. The
// Windows tool host removes with it; the native tests run it over the
// simulator, where links behave as on Windows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Creates the folder name inside the folder held by parent and holds it as a
// work folder is held: for removal, with no delete sharing (nobody renames it
// or swaps it for a link while it is held), never through a link. Null when
// it cannot be made, or when something stood there already (*taken; never
// ours to use).
PlatFile MakeWorkFolderAt(PlatFile parent, const char16_t* name, bool* taken);

// Empties and removes the work folder held by folder (owned from here on:
// opened for removal, never through a link), whose path without a trailing
// separator is path. Every entry is opened relative to its folder and removed
// by handle: a link inside goes as a link, whatever it points to stays. True
// when everything went.
bool RemoveWorkTree(PlatFile folder, const char16_t* path);

// Whether a process of that id runs: the caller's own answer (Windows asks
// the system; tests decide).
using ProcessRunsCheck = bool (*)(uint32_t pid);

// In the folder held by folder (its path without a trailing separator is
// path), removes the entries named as the tools name their temporary files
// (work: their work folders) whose owner is gone: no process of the id in the
// name runs, and the entry opens with no sharing at all, so nothing holds it.
// Only files (work: real folders, emptied as RemoveWorkTree does) go; links
// and anything named otherwise stay. How many went.
size_t RemoveLeftoversIn(PlatFile folder, const char16_t* path, bool work, ProcessRunsCheck processRuns);
