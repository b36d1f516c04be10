// Handing control to the runtime library: settings, arguments, the call,
// and the after-run removal.
#pragma once

#include <cstdint>

#include "archive/payload.h"
#include "base/names.h"
#include "cache/backoff.h"
#include "cache/runtime_dir.h"
#include "launcher/integrity.h"
#include "platform/platform.h"

// Settings (strings 4, 5 and 6, base/names.h) are read into this many characters.
constexpr int SETTING_CAPACITY = 256;

// The init export, called with the platform's standard 64-bit convention.
using VorlaneInitFn = int (*)(PlatModule instance, const char16_t* modulePath, const char16_t* setting4,
                              const char16_t* setting5, const char16_t* firstArgument,
                              const char16_t* argumentLine, uint64_t payloadOffset, uint64_t payloadSize);

// A heap copy of string id of the string table, or null when missing or empty.
char16_t* LoadSetting(PlatModule instance, uint32_t id);

// Rebuilds an argument line from argv[1..count-1]: elements holding a space are
// wrapped in double quotes, elements are separated by one space. Returns a heap
// string (PlatHeapFree), or null when there is nothing after the program name
// or the buffer cannot be allocated.
char16_t* RebuildArgumentLine(char16_t* const* argv, int count);

struct HandOffInput {
    PlatModule instance;
    const char16_t* modulePath;
    PayloadLocation payload;
    Backoff* waits = nullptr;  // the start's one schedule for the after-run removal (null: no waiting)
};

// Loads the checked library by the path its held handle resolves to, confirms
// by volume and file id that the module the loader mapped is that file,
// releases it, calls VorlaneInit, unloads, and applies the after-run removal
// through the held cache folders.
// Returns how it ended (shown by the caller): Ok, an integrity outcome (the
// path or the mapped file is not the one checked; nothing was called, nothing
// removed), RuntimeLoad or SettingMissing.
Ending HandOff(const HandOffInput& input, CheckedLibrary* checked, RuntimeCache* cache);

// The after-run removal rule alone (used by HandOff): with setting 6 exactly
// "Y", what this run created goes, through the held folders.
void RemoveAfterRun(PlatModule instance, RuntimeCache* cache, Backoff* waits);
