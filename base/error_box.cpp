#include "base/error_box.h"

#include <cstdarg>

#include "base/text.h"
#include "platform/platform.h"

void ShowError(const char16_t* text) { PlatMessageBox(text, u"Error", MB_ICONERROR); }

void ShowErrorF(const char16_t* format, ...) {
    char16_t message[MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    TextFormatV(message, MESSAGE_CAPACITY, format, args);
    va_end(args);
    ShowError(message);
}

void ShowErrorStyled(uint32_t style, const char16_t* format, ...) {
    char16_t message[MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    TextFormatV(message, MESSAGE_CAPACITY, format, args);
    va_end(args);
    PlatMessageBox(message, u"Error", style);
}
