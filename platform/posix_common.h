// What both Linux layers share, so that they read the same paths and report
// the same errors: UTF-16 text and the "Z:\..." path form, and the Windows
// code for an errno value, and the reads and seeks both do over a descriptor.
#pragma once

#include <cstdint>
#include <string>

// Path conversion: "\\?\" and "\\?\UNC\" prefixes dropped, a drive "X:\"
// mapped to "/", '\' and '/' both separators.
std::string PosixNativePath(const char16_t* path);
std::u16string PosixWidePath(const std::string& nativePath);  // "/a/b" -> u"Z:\\a\\b"
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

// The Windows error code (GetLastError's meaning) for an errno value.
uint32_t PosixErrorFromErrno(int e);

// ReadFile's meaning over a descriptor: reads until size bytes or the end of
// the file, retrying interrupted reads. Sets *done to what was read; 0 on
// success, else the Windows code of the failure (EIO as ERROR_READ_FAULT).
uint32_t PosixReadFully(int fd, void* buffer, uint32_t size, uint32_t* done);

// SetFilePointer's meaning over a descriptor: with high the distance is 64-bit
// (and *high gets the new position's high half), without it the low half is
// signed and the new position must fit 32 bits. Sets *position to the new
// position's low half; 0 on success, else the Windows code of the failure.
uint32_t PosixSeek(int fd, int32_t low, int32_t* high, uint32_t method, uint32_t* position);
