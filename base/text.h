// UTF-16 text helpers shared by every stage: lengths, comparison, copies and
// bounded formatting into fixed buffers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

size_t TextLength(const char16_t* text);
// Code unit by code unit, terminator included: exact and case-sensitive.
bool TextEqual(const char16_t* a, const char16_t* b);
// A heap copy (PlatHeapAlloc) the caller frees with PlatHeapFree; null when out of memory.
char16_t* TextDuplicate(const char16_t* text);

// printf-style formatting into capacity characters, terminator included.
// Understands %s (const char16_t*), %d (int32_t), %u (uint32_t), %X (uint32_t as
// eight hex digits) and %%.
// Always terminates (when capacity > 0); returns false when the result was cut.
bool TextFormat(char16_t* out, size_t capacity, const char16_t* format, ...);
bool TextFormatV(char16_t* out, size_t capacity, const char16_t* format, va_list args);
