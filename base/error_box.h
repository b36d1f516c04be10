// The one way failures reach the user: a modal box with caption "Error".
#pragma once

// Shows text as it is.
void ShowError(const char16_t* text);
// Formats into 256 characters (a message that does not fit is shown cut), then shows it.
void ShowErrorF(const char16_t* format, ...);

constexpr unsigned MESSAGE_CAPACITY = 256;
