// The runtime library's integrity check: the installed file is the packed
// runtime (its pinned digest, else the archive's CRC-32), carries a trusted
// signature of the publisher meant for code signing, and is the file the
// loader maps.
#pragma once

#include "archive/file_crc.h"
#include "archive/pin.h"
#include "base/names.h"
#include "base/outcome.h"
#include "base/owned.h"
#include "cache/install.h"
#include "platform/platform.h"

// The publisher (string 7) and the pin (string 8) are read into this many characters.
constexpr int PUBLISHER_CAPACITY = 256;

// The pin the packager wrote into string 8, read once per start: none (a
// launcher built or packed without one), the digest the library must have, or
// a pin that is there but cannot be read (which refuses every library).
enum class PinState { None, Present, Unreadable };
struct LauncherPin {
    PinState state;
    Pin pin;
};
LauncherPin ReadLauncherPin(PlatModule instance);

// Whether the check before loading alone tells that a library in place is the
// packed runtime, whatever its other bytes: the launcher carries a pin and
// the build checks signatures (the trust services report the digest). Then
// the installation leaves such a file to the check, unread.
bool CheckDecidesCurrent(const LauncherPin& pin);

// The library as checked. The handle stays open, with read sharing only, until
// the loaded module was confirmed to be this file: nobody can write, rename or
// delete it meanwhile.
struct CheckedLibrary {
    OwnedFile held;
    void Close() { held.Reset(); }
};

// What the check needs to know.
struct LibraryCheck {
    PlatModule instance;          // its string table names the publisher and the pin
    PlatFile runtimeDir;          // the held runtime folder; the library is opened inside it
    const char16_t* libraryPath;  // the library's plain path, for the trust services
    InstalledLibrary installed;   // what the installation left there
    bool searchRestricted;        // start-up could limit library searches to the system folder
    CheckBuffer* buffer = nullptr;  // the run's check buffer the CRC reads through (null: one of its own)
    LauncherPin pin{};              // the start's pin (none unless given)
};

enum class CheckVerdict {
    Passed,   // checked->held keeps the file open
    Refused,  // the file is not the packed runtime: replacing it from the archive may mend that
    Failed,   // it cannot be checked here at all
};

// How both checks below end: the verdict, with the ending of outcome (its
// message formatted from the arguments the outcome names) in *ending.
CheckVerdict CheckEnds(CheckVerdict verdict, Ending* ending, Outcome outcome, ...);

// Opens the library inside the held runtime folder for reading with read
// sharing only, never through a link, and checks through that handle that it
// is a plain file with one name; that it is the pinned runtime (when the
// launcher carries a pin) or has the installed CRC-32 (when it does not); and,
// when the build checks signatures, that it is signed under a trusted chain by
// the publisher with a certificate meant for code signing. The verdict, with
// why in *ending (Ok when passed); shows nothing.
CheckVerdict CheckRuntimeIntegrity(const LibraryCheck& check, CheckedLibrary* checked, Ending* ending);

// What the check makes of the trust services' answer about a library: its
// chain, then the pin (when given), the signer's name against the publisher
// (publisherLength characters, exactly) and the code-signing use. Passed or
// Refused, with why in *ending; vorlane-inspect judges with it too, so its
// verdict is the launcher's. Makes the answer's signer safe to read
// (terminated, its length bounded).
CheckVerdict JudgeTrustAnswer(PlatTrustAnswer* answer, const char16_t* publisher, size_t publisherLength,
                              const Pin* pin, Ending* ending);

// The path to hand the loader for the checked file: the one the system
// resolves the held handle to, so that no link lies on it, in plain form
// (long form when it needs one) into LONG_PATH_CAPACITY characters. Refuses a file
// on a network volume, whose server could change what is mapped after the
// check, and a path Windows would read as another in plain form. False with the ending.
bool ResolveLoadPath(const CheckedLibrary& checked, char16_t* path, Ending* ending);
