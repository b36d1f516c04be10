// The one way failures reach the user: a modal box with caption "Error".
#pragma once

#include <cstdint>

// Shows text as it is.
void ShowError(const char16_t* text);
// Formats into 256 characters (a message that does not fit is shown cut), then shows it.
void ShowErrorF(const char16_t* format, ...);
// The same with a box style of its own (MB_ICONERROR and more).
void ShowErrorStyled(uint32_t style, const char16_t* format, ...);

constexpr unsigned MESSAGE_CAPACITY = 256;
