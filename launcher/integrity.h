// The runtime library's integrity check: the installed file is the archive's
// copy, carries a trusted signature of the publisher, and is the file the
// loader will map.
#pragma once

#include "archive/file_crc.h"
#include "base/file_handle.h"
#include "cache/install.h"
#include "platform/platform.h"

// The string of the launcher's string table that names the publisher: the
// signer display name the runtime library must carry, written at pack time.
constexpr uint32_t PUBLISHER_STRING_ID = 7;
constexpr const char16_t* LIBRARY_NAME = u"VorlaneStub.dll";
constexpr int PUBLISHER_CAPACITY = 256;

// The library as checked. Both handles stay open, with read sharing only,
// until the load returned: nobody can write, rename or delete the file
// meanwhile.
struct CheckedLibrary {
    FileHandle held;      // the file the check read
    FileHandle resolved;  // the plain path as the loader resolves it, confirmed to be the same file
    void Release() {
        held.Close();
        resolved.Close();
    }
};

// What the check needs to know.
struct LibraryCheck {
    PlatModule instance;          // its string table names the publisher
    PlatFile runtimeDir;          // the held runtime folder; the library is opened inside it
    const char16_t* libraryPath;  // the library's plain path, for the trust services
    InstalledLibrary installed;   // what the installation left there
    bool searchRestricted;        // start-up could limit library searches to the system folder
    CheckBuffer* buffer = nullptr;  // the run's check buffer the CRC reads through (null: one of its own)
};

// Opens the library inside the held runtime folder for reading with read
// sharing only, never through a link, and checks through that handle that it
// is a plain file with the installed content and, when the build checks
// signatures, that it is signed under a trusted chain by the publisher. On
// success checked->held keeps the file open; on failure shows an error box
// naming the library and the reason.
bool CheckRuntimeIntegrity(const LibraryCheck& check, CheckedLibrary* checked);

// Right before the load: opens the plain library path as the loader will
// resolve it and confirms it is the file the check holds (a link, a junction
// or a folder name the plain form normalises differently would lead elsewhere).
// On failure shows an error box.
bool ConfirmLoadTarget(const char16_t* libraryPath, CheckedLibrary* checked);
