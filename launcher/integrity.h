// The runtime library's integrity check: code signature and publisher.
#pragma once

#include "platform/platform.h"

// Opens the library for reading with read sharing only and checks its
// signature and signer. On success *held keeps the handle open, so the file
// cannot be replaced before it is loaded; the caller closes it after the load.
// On failure shows an error box naming the library and the reason.
bool CheckRuntimeIntegrity(const char16_t* libraryPath, PlatFile* held);
