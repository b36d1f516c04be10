// What the text and the JSON report both say, so they always hold the same
// figures: hex numbers, result and role names, the version text and what
// follows the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/host/text.h"
#include "tools/inspect/findings.h"

// A PE machine field and other 16-bit codes: "0x8664".
std::string Hex16(uint16_t value);
std::string Hex32(uint32_t value);
const char* PayloadResultName(PayloadResult result);
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

// Text from outside the tool (a package's settings, version strings, signer,
// entry and import names, and the messages that quote them) as the text
// report shows it, so no byte of it can act on a terminal: C0 controls and
// DEL as \xHH, C1 controls, the bidirectional embeddings, overrides and
// isolates (U+202A-U+202E, U+2066-U+2069) and unpaired surrogates as \uHHHH,
// bytes that are not UTF-8 as \xHH (from 80 up, so never a character), and
// the backslash itself as \\, so every escape reads one way. A path keeps its
// backslashes (keepBackslash): they are its separators.
std::string Shown(const std::u16string& text, bool keepBackslash = false);
std::string Shown(const std::string& utf8);
