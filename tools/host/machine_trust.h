// This machine's own trust check over a library that is only bytes so far
// (the runtime inside a package), for the packager's tools on Windows: the
// check the launcher asks about the installed file, asked about a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// Writes the image to a temporary file that only this process can change
// and that the system deletes when its handle closes (however the process
// ends), and asks the trust services about it (PlatVerifyTrust, as the
// launcher asks). False when they cannot be asked; why says so.
bool MachineTrustOfImage(const uint8_t* image, size_t size, PlatTrustAnswer* answer, std::string* why);
