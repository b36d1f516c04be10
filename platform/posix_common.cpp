// What both Linux layers share: text and path conversions, and Windows codes
// for errno values.
#include "platform/posix_common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/platform.h"

namespace {

// Windows codes used here beyond the shared list.
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES_CODE = 4;
constexpr uint32_t ERROR_NOT_SAME_DEVICE_CODE = 17;
constexpr uint32_t ERROR_WRITE_PROTECT_CODE = 19;
constexpr uint32_t ERROR_GEN_FAILURE_CODE = 31;
constexpr uint32_t ERROR_NEGATIVE_SEEK_CODE = 131;
constexpr uint32_t ERROR_BUSY_CODE = 170;
constexpr uint32_t ERROR_FILE_TOO_LARGE_CODE = 223;
constexpr uint32_t ERROR_CANT_RESOLVE_FILENAME_CODE = 1921;

}  // namespace

uint32_t PosixErrorFromErrno(int e) {
    switch (e) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EBADF: return ERROR_INVALID_HANDLE;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES_CODE;
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case EBUSY: return ERROR_BUSY_CODE;
        case EROFS: return ERROR_WRITE_PROTECT_CODE;
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME_CODE;
        case EXDEV: return ERROR_NOT_SAME_DEVICE_CODE;
        case EFBIG: return ERROR_FILE_TOO_LARGE_CODE;
        default: return ERROR_GEN_FAILURE_CODE;
    }
}

namespace {

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool StartsWith(const std::u16string& text, const char16_t* prefix) {
    const size_t n = std::char_traits<char16_t>::length(prefix);
    return text.size() >= n && text.compare(0, n, prefix) == 0;
}

}  // namespace

// Lossless both ways for file names: a lone surrogate is written as its 3-byte
// form, and a byte that is not UTF-8 reads as U+DC80..U+DCFF and is written
// back as that byte.
std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            const uint32_t cp = 0x10000u + ((static_cast<uint32_t>(c) - 0xD800u) << 10) +
                                (static_cast<uint32_t>(text[i + 1]) - 0xDC00u);
            AppendUtf8(out, cp);
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out += static_cast<char>(c - 0xDC00);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        uint32_t cp = 0;
        size_t length = 0;
        uint32_t minimum = 0;
        if (b < 0x80) {
            cp = b;
            length = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1Fu;
            length = 2;
            minimum = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0Fu;
            length = 3;
            minimum = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07u;
            length = 4;
            minimum = 0x10000;
        }
        bool valid = length != 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                valid = false;
            } else {
                cp = (cp << 6) | (s[i + k] & 0x3Fu);
            }
        }
        if (valid && (cp < minimum || cp > 0x10FFFF)) valid = false;
        if (!valid) {
            out += static_cast<char16_t>(0xDC00 + b);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += length;
    }
    return out;
}

std::string PosixNativePath(const char16_t* path) {
    if (path == nullptr) return std::string();
    std::u16string p(path);
    std::string prefix;
    if (StartsWith(p, u"\\\\?\\UNC\\")) {
        p.erase(0, 8);
        prefix = "//";
    } else if (StartsWith(p, u"\\\\?\\")) {
        p.erase(0, 4);
    }
    if (prefix.empty() && p.size() >= 2 && IsAsciiLetter(p[0]) && p[1] == u':') {
        // Every drive is the Linux root, as Wine's Z:.
        p.erase(0, 2);
        if (p.empty() || (p[0] != u'\\' && p[0] != u'/')) prefix = "/";
    }
    for (char16_t& c : p) {
        if (c == u'\\') c = u'/';
    }
    return prefix + Utf16ToUtf8(p);
}

std::u16string PosixWidePath(const std::string& nativePath) {
    std::u16string wide = Utf8ToUtf16(nativePath);
    for (char16_t& c : wide) {
        if (c == u'/') c = u'\\';
    }
    if (StartsWith(wide, u"\\\\") && !StartsWith(wide, u"\\\\\\")) return wide;  // //server/share
    if (!wide.empty() && wide[0] == u'\\') return u"Z:" + wide;
    return wide;
}


uint32_t PosixReadFully(int fd, void* buffer, uint32_t size, uint32_t* done) {
    *done = 0;
    while (*done < size) {
        const ssize_t got = ::read(fd, static_cast<char*>(buffer) + *done, size - *done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno == EIO ? ERROR_READ_FAULT : PosixErrorFromErrno(errno);
        }
        if (got == 0) break;  // end of file: success with what was read
        *done += static_cast<uint32_t>(got);
    }
    return 0;
}

uint32_t PosixSeek(int fd, int32_t low, int32_t* high, uint32_t method, uint32_t* position) {
    *position = INVALID_SET_FILE_POINTER;
    if (method > FILE_END) return ERROR_INVALID_PARAMETER;
    // With a high half the distance is 64-bit; without, the low half is signed.
    int64_t distance = low;
    if (high != nullptr) {
        distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                                        static_cast<uint32_t>(low));
    }
    int64_t base = 0;
    if (method == FILE_CURRENT) {
        const off_t current = lseek(fd, 0, SEEK_CUR);
        if (current < 0) return PosixErrorFromErrno(errno);
        base = current;
    } else if (method == FILE_END) {
        struct stat st;
        if (fstat(fd, &st) != 0) return PosixErrorFromErrno(errno);
        base = st.st_size;
    }
    // base is never negative, so only a positive distance can overflow.
    if (distance > 0 && base > INT64_MAX - distance) return ERROR_INVALID_PARAMETER;
    const int64_t target = base + distance;
    if (target < 0) return ERROR_NEGATIVE_SEEK_CODE;
    if (high == nullptr && target > 0xFFFFFFFFll) return ERROR_INVALID_PARAMETER;  // would not fit the low half alone
    if (lseek(fd, static_cast<off_t>(target), SEEK_SET) < 0) return PosixErrorFromErrno(errno);
    if (high != nullptr) *high = static_cast<int32_t>(static_cast<uint64_t>(target) >> 32);
    *position = static_cast<uint32_t>(static_cast<uint64_t>(target) & 0xFFFFFFFFu);
    return 0;
}
