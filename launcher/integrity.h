// The runtime library's integrity check: the installed file is the archive's
// copy, carries a trusted signature of the publisher, and is the file the
// loader will map.
#pragma once

#include "archive/file_layer.h"
#include "cache/install.h"
#include "platform/platform.h"

// The string of the launcher's string table that names the publisher: the
// signer display name the runtime library must carry, written at pack time.
constexpr uint32_t PUBLISHER_STRING_ID = 7;
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

// Opens the library for reading with read sharing only and checks, through
// that handle, that its content is the installed one (installed.crc) and, when
// the build checks signatures, that it is signed under a trusted chain by the
// publisher that instance's string table names. searchRestricted says whether start-up could limit library
// searches to the system folder. On success checked->held keeps the file open;
// on failure shows an error box naming the library and the reason. The CRC
// reads through buffer (the run's check buffer; null: one of its own).
bool CheckRuntimeIntegrity(PlatModule instance, const char16_t* libraryPath, const InstalledLibrary& installed,
                           bool searchRestricted, CheckedLibrary* checked, CheckBuffer* buffer = nullptr);

// Right before the load: opens the plain library path as the loader will
// resolve it and confirms it is the file the check holds (a link, a junction
// or a folder name the plain form normalises differently would lead elsewhere).
// On failure shows an error box.
bool ConfirmLoadTarget(const char16_t* libraryPath, CheckedLibrary* checked);
