// The tools' text: UTF-8 (their arguments, configs, messages and reports),
// UTF-16 (the launcher's strings, names in the package, Windows' calls) and
// hex. One rule for bad input: a decoder refuses what is not UTF-8 (overlong
// forms, surrogates, values past U+10FFFF, a sequence cut short) and the
// caller says so; the encoder writes U+FFFD for a lone surrogate, which has no
// UTF-8 form. (The platform keeps its own lossless codec for the names the
// Linux layers give files, posix_common.h; the core is UTF-16 only.) No OS
// here: the native tests and the fuzzers run it as the tools do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The code point of the UTF-8 sequence at text[*at] (*at < text.size()),
// *at moved past it; false, *at unmoved, for bytes that are not UTF-8.
bool NextUtf8(const std::string& text, size_t* at, uint32_t* c);
// A code point (at most U+10FFFF, never a surrogate) appended as UTF-8 or UTF-16.
void AppendUtf8(std::string* out, uint32_t c);
void AppendUtf16(std::u16string* out, uint32_t c);
// UTF-8 to UTF-16; false (out cleared) for text that is not UTF-8.
bool Utf16FromUtf8(const std::string& text, std::u16string* out);
// UTF-16 to UTF-8, a lone surrogate as U+FFFD.
std::string Utf8Of(const std::u16string& text);

// ASCII letters lowered, every other byte kept (signers' output, extensions).
std::string LowerAscii(std::string text);

// Bytes as lowercase hex pairs (digests).
std::string HexOf(const uint8_t* bytes, size_t size);
// A number in hex, at least digits long (names, codes, method ids).
std::string HexNumber(uint64_t value, unsigned digits, bool upper);
