// Removing folder trees by handle: every folder opened without following
// links and checked by handle, every entry opened relative to its folder and
// removed by handle, so a link is removed as a link and never entered.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cache/backoff.h"
#include "platform/platform.h"

// Opened to be listed and removed: never through a link, and with no delete
// sharing, so nobody renames it while we work in it.
constexpr uint32_t REMOVAL_ACCESS = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr uint32_t NO_DELETE_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr uint32_t NO_FOLLOW = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// The attribute bits of what a handle holds; INVALID_FILE_ATTRIBUTES when unknown.
uint32_t HandleAttributes(PlatFile file);
// A folder, and not a link to one.
bool IsRealFolder(uint32_t attributes);
// Opens name inside folder for listing and removal, never through a link; a
// short hold on it is waited out on backoff's schedule.
PlatFile OpenForRemoval(PlatFile folder, const char16_t* name, Backoff* backoff);
// Removes the name an open entry (not a real folder) stands under, by handle:
// a link as a link; a file's contents go only with its last name, and the
// attributes of a file with other names are never touched. A short hold is
// waited out on backoff's schedule. True when it went.
bool RemoveNameOf(PlatFile entry, uint32_t attributes, Backoff* backoff);

// Brings a folder path in a PATH_CAPACITY buffer to the form the walk works
// with: one trailing separator. False for an empty path and when the
// separator would not fit.
bool WithTrailingSeparator(char16_t* path, size_t* length);

// Empties and removes the folder held by folder (owned from here on), whose
// path with its trailing separator, length characters, is in the buffer.
// True when everything went. Works without recursion on the call stack.
// Short holds on its entries are waited out on backoff's one schedule.
bool RemoveOpenTree(PlatFile folder, char16_t* path, size_t length, Backoff* backoff);
