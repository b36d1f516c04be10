// Long path names: every path handed to a file-system call goes through
// ToLongPath first; stored, displayed and passed-on paths stay plain.
#pragma once

#include <cstddef>

// Capacity of every plain path buffer, terminator included.
constexpr size_t PATH_CAPACITY = 2048;
// Capacity of the scratch buffer that receives a converted path: room for the
// longest prefix ("\\?\UNC\", 8 characters) in front of a plain path.
constexpr size_t LONG_PATH_CAPACITY = 2056;

// Returns null for a null path, the path itself when it needs no conversion, or
// scratch holding the long form. Never modifies the path; writes scratch only
// when scratch is the result.
const char16_t* ToLongPath(const char16_t* path, char16_t* scratch);

// Whether Win32 would take path, handed to it in plain form, for another one:
// it drops a trailing dot or trailing spaces from the names of a plain path
// (one made only of dots or spaces included), so such a name reaches another
// file. A leading "\\?\" or "\\.\" is not a name.
bool PlainFormRewrites(const char16_t* path);
// Whether path has the "\\?\" form, whose names Windows takes as they are.
bool IsVerbatimPath(const char16_t* path);

// Both separators count when a path is read; a backslash is the one written.
inline bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
// A listing's "." and "..": never entries of their own.
inline bool IsDotName(const char16_t* name) {
    return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0));
}
