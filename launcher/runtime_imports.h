// What becomes of the runtime library's imports when the hand-off loads it:
// its dependencies are looked up in the system folder only, so a library that
// is not there is never found. The rule is here, beside the load it follows
// from, so that whoever judges a runtime (vorlane-inspect, vorlane-pack) asks
// the launcher's own function and never a list of its own.
#pragma once

#include <cstddef>
#include <cstdint>

// The exception the delay-load helper raises when a delay-loaded library is
// not found (VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND)): the
// process ends with it as its exit code.
constexpr uint32_t DELAY_LOAD_MODULE_NOT_FOUND = 0xC06D007Eu;

enum class ImportFate {
    Found,           // the library is in the system folder of every Windows the launcher supports
    LoadFails,       // a static import that is not: the runtime does not load ("Failed to load VorlaneStub DLL")
    FirstCallFails,  // a delay-loaded one that is not: the runtime loads and is called, and its first call into
                     // the library ends the process with DELAY_LOAD_MODULE_NOT_FOUND
};

// Whether the restricted search finds the library named (ASCII, any case; an
// API set counts, as the system resolves it).
bool IsSystemLibrary(const char* name, size_t length);

// The fate of a runtime that names the library in its import table (delayed:
// in its delay-import table).
ImportFate FateOfImport(const char* name, size_t length, bool delayed);
