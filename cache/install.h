// Installing the runtime library from the archive into RuntimeDir.
#pragma once

#include "archive/archive_reader.h"
#include "base/outcome.h"
#include "cache/runtime_dir.h"

// What stands at the library path after the installation: known when an
// entry of the install list was found current or written there, with the
// CRC-32 that content has. Unknown when the archive has no such entry or its
// entry did not decode: whatever stands there is then not the archive's copy.
struct InstalledLibrary {
    bool known;
    bool written;  // this run wrote it
    uint32_t crc;
};

// For each archive entry on the install list ("VorlaneStub.dll"): leaves a
// current file alone (unless force: the file there failed its check before
// loading), refuses to touch one in use, otherwise decodes it, writes it under
// a new temporary name in the held RuntimeDir and renames that over the
// library by handle, so the library's name never holds a partial file. Every
// open is relative to the held folder and never through a link; a link or a
// file with other names at the library path loses its name, never its
// contents. A damaged entry is passed over silently. False, with the ending,
// when the run must end; shows nothing.
bool InstallEntries(ArchiveReader* reader, const RuntimeCache& cache, bool force, InstalledLibrary* installed,
                    Ending* ending);
