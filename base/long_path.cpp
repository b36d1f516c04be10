#include "base/long_path.h"

namespace {

// Shorter paths never need the prefix; conversion starts at 248, below the
// classic 260 limit, so that a file name appended later still fits.
constexpr size_t LONG_PATH_THRESHOLD = 248;

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

const char16_t* WithPrefix(const char16_t* prefix, size_t prefixLength, const char16_t* rest, size_t restLength,
                           char16_t* scratch) {
    for (size_t i = 0; i < prefixLength; ++i) scratch[i] = prefix[i];
    for (size_t i = 0; i < restLength; ++i) scratch[prefixLength + i] = rest[i];
    scratch[prefixLength + restLength] = 0;
    return scratch;
}

}  // namespace

const char16_t* ToLongPath(const char16_t* path, char16_t* scratch) {
    if (path == nullptr) return nullptr;
    size_t n = 0;
    while (path[n] != 0) ++n;
    if (n < LONG_PATH_THRESHOLD) return path;

    if (IsVerbatimPath(path)) return path;

    if (path[0] == u'\\' && path[1] == u'\\') {
        // \\server\share -> \\?\UNC\server\share: n - 2 + 8 characters and the terminator.
        if (n + 7 > LONG_PATH_CAPACITY) return path;
        return WithPrefix(u"\\\\?\\UNC\\", 8, path + 2, n - 2, scratch);
    }

    if (IsAsciiLetter(path[0]) && path[1] == u':' && path[2] == u'\\') {
        if (n + 5 > LONG_PATH_CAPACITY) return path;
        return WithPrefix(u"\\\\?\\", 4, path, n, scratch);
    }
    return path;
}

bool IsVerbatimPath(const char16_t* path) {
    return path != nullptr && path[0] == u'\\' && path[1] == u'\\' && path[2] == u'?' && path[3] == u'\\';
}

bool PlainFormRewrites(const char16_t* path) {
    if (path == nullptr) return false;
    size_t i = 0;
    if (IsPathSeparator(path[0]) && IsPathSeparator(path[1]) && (path[2] == u'?' || path[2] == u'.') &&
        IsPathSeparator(path[3])) {
        i = 4;
    }
    // Any name ending so is refused, whether Windows would trim it in that place or not.
    for (size_t start = i;; ++i) {
        if (path[i] != 0 && !IsPathSeparator(path[i])) continue;
        if (i > start && (path[i - 1] == u'.' || path[i - 1] == u' ')) return true;
        if (path[i] == 0) return false;
        start = i + 1;
    }
}
