// Installing the runtime library from the archive into RuntimeDir.
#pragma once

#include "archive/archive_reader.h"
#include "base/outcome.h"
#include "cache/backoff.h"
#include "cache/runtime_dir.h"

// What stands at the library path after the installation: known when an
// entry of the install list was found current or written there, with the
// CRC-32 that content has (the archive entry's, unread, when the check before
// loading decides what is current). Unknown when the archive has no such
// entry or its entry did not decode: whatever stands there is then not the
// archive's copy.
struct InstalledLibrary {
    bool known;
    bool written;  // this run wrote it
    uint32_t crc;
};

// How the installation tells whether a library already in place is current.
enum class InstallMode {
    // Its CRC-32 equals the archive entry's: the launcher has no pin, or no
    // trust services to report the digest, so the bytes are all it can compare.
    ByCrc,
    // A plain file of its own is left, unread, to the check before loading,
    // which knows the packed code by its pin whatever the file's other bytes
    // (another signing time, another certificate of the publisher).
    ByCheck,
    // Written again whatever it holds: it failed the check before loading.
    Rewrite,
};

// For each archive entry on the install list ("VorlaneStub.dll"): leaves a
// current file alone, refuses to touch one in use, otherwise decodes it,
// writes it under a new temporary name in the held RuntimeDir and renames
// that over the library by handle, so the library's name never holds a
// partial file. Every open is relative to the held folder and never through a
// link; a link or a file with other names at the library path loses its name,
// never its contents. Holds are waited out on the start's one schedule. A
// damaged entry is passed over silently. False, with the ending, when the run
// must end; shows nothing.
bool InstallEntries(ArchiveReader* reader, const RuntimeCache& cache, InstallMode mode, Backoff* waits,
                    InstalledLibrary* installed, Ending* ending);

// Whether a name is one the installation writes under before its rename
// ("VorlaneStub.dll.<process id>.new"): only such files are its leftovers.
bool IsInstallTemporaryName(const char16_t* name);
