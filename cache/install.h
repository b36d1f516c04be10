// Installing the runtime library from the archive into RuntimeDir.
#pragma once

#include "archive/archive_reader.h"

// What stands at the library path after the installation: known when an
// entry of the install list was found current or written there, with the
// CRC-32 that content has. Unknown when the archive has no such entry or its
// entry did not decode: whatever stands there is then not the archive's copy.
struct InstalledLibrary {
    bool known;
    uint32_t crc;
};

// For each archive entry on the install list ("VorlaneStub.dll"): leaves a
// current file alone, refuses to touch one in use, otherwise decodes and writes
// it. Every file is opened relative to folder, the held handle of runtimeDir,
// and never through a link. A damaged entry is passed over silently. Shows its
// own error box and returns false when the run must end.
bool InstallEntries(ArchiveReader* reader, const char16_t* runtimeDir, PlatFile folder, InstalledLibrary* installed);

// Whether anything (a file, a folder, a link) stands at name in the open folder.
bool TargetExists(PlatFile folder, const char16_t* name);
