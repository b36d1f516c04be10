// What the text and the JSON report both say, so they always hold the same
// figures: hex numbers, result and role names, the version text and what
// follows the archive.
#pragma once

#include <cstdint>
#include <string>

#include "tools/inspect/findings.h"

// A PE machine field and other 16-bit codes: "0x8664".
std::string Hex16(uint16_t value);
std::string Hex32(uint32_t value);
const char* PayloadResultName(PayloadVerdict result);
const char* RoleName(EntryRole role);  // nullptr for an entry without a role
std::string VersionText(const uint16_t parts[4]);

// What follows the archive's end, in words and figures.
struct Trailer {
    bool known = false;
    uint64_t after = 0;    // bytes after the archive
    uint64_t missing = 0;  // bytes the archive claims beyond the end of the file
    bool certificate = false;
};

Trailer TrailerOf(const InspectReport& r);
