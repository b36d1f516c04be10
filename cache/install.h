// Installing the runtime library from the archive into RuntimeDir.
#pragma once

#include "archive/archive_reader.h"

// For each archive entry on the install list ("VorlaneStub.dll"): leaves a
// current file alone, refuses to touch one in use, otherwise decodes and writes
// it. A damaged entry is passed over silently. Shows its own error box and
// returns false when the run must end.
bool InstallEntries(ArchiveReader* reader, const char16_t* runtimeDir);
