// Between the Windows tool host's files: UTF-8 to UTF-16 and back at the
// Win32 calls, through the tools' codec (text.h), and a failure's reason in
// the system's words. No OS header, so that any of the tool host's Windows
// files may include it.
#pragma once

#include <cstddef>
#include <string>

// UTF-8 to UTF-16; empty for text that is not UTF-8, so that no Win32 call
// is handed a name other than the one meant. And back, a lone surrogate as U+FFFD.
std::wstring ToolWide(const std::string& text);
std::string ToolUtf8(const wchar_t* text, size_t length);
// A path for the Win32 calls: UTF-16, and an absolute path too long for the
// classic limit given the "\\?\" form so that it still opens.
std::wstring ToolWidePath(const std::string& path);
// what + ": " + the system's message for a GetLastError code.
std::string ToolWinReason(const std::string& what, unsigned long code);
