// Every way a start can end, in one table: its exit code, the stage that ends
// it and its message, shown in a modal box with the caption "Error". Stages hand back an Ending (the outcome and its message,
// formatted from the table); the launch sequence alone shows it. vorlane-inspect
// predicts from the same table, so the two cannot drift apart.
#pragma once

#include <cstdarg>
#include <cstdint>


// Process exit codes, one name per failure; several share a value.
enum ExitCode : int {
    EXIT_OK = 0,                // normal end (the runtime's own return value is never the exit code)
    EXIT_OWN_PATH = -1,         // own path missing or 2048 characters or longer
    EXIT_EXE_OPEN = -1,         // the executable cannot be opened
    EXIT_PROBE = -2,            // the PE headers cannot be probed
    EXIT_NO_ARCHIVE = 1,        // no valid 7z start header within 4 MiB after the image
    EXIT_ARCHIVE_SEEK = -4,     // positioning at the archive start fails
    EXIT_READER_MEMORY = 1,     // the look-ahead buffer or the checks' read buffer cannot be allocated
    EXIT_ARCHIVE_OPEN = 2,      // the archive does not open
    EXIT_PAYLOAD = 3,           // the payload is missing, out of range or damaged
    EXIT_PAYLOAD_MEMORY = 1,    // an entry name cannot be allocated in the payload scan
    EXIT_RUNTIME_DIR = -3,      // the runtime folder cannot be prepared
    EXIT_LIBRARY_PATH = -3,     // the library path does not fit 2048 characters
    EXIT_INSTALL = 4,           // installation fails (an entry name that cannot be allocated included)
    EXIT_INTEGRITY = 5,         // the library fails its check, or the loader would map or mapped another file
    EXIT_RUNTIME_LOAD = 6,      // the library does not load, or lacks VorlaneInit
    EXIT_SETTING_MISSING = 6,   // setting 4 or 5 is missing from the string table
    EXIT_REDIRECTED = 7,        // "<exe>.local" asks Windows to take libraries from the executable's folder
    EXIT_REWRITTEN_NAME = 8,    // Windows would read the executable's, the cache's or the library's path as another
    EXIT_UNKNOWN_OUTCOME = 9,   // a value outside the table of outcomes: a fault of the launcher itself
};

// A message fits 255 characters and its terminator; a longer one is shown cut.
constexpr unsigned MESSAGE_CAPACITY = 256;

enum class Outcome : uint8_t {
    Ok,
    OwnPath,
    Redirected,            // %s: the executable's path
    RewrittenOwnPath,      // %s: the executable's path
    ExeOpen,
    Probe,
    NoArchive,
    ArchiveSeek,
    ReaderMemory,
    ArchiveOpen,           // %d: the decoder's code
    PayloadNotFound,
    PayloadOutOfRange,
    PayloadCrc,
    PayloadMemory,
    RuntimeDir,
    RewrittenCachePath,    // %s: the path Windows would rewrite
    LibraryPath,
    InstallInUseOtherCrc,  // %s: the entry's name (so for every install outcome)
    InstallInUse,
    InstallWrite,          // %s, %d: the write's error
    InstallMemory,
    UnsafeSearch,
    PinUnreadable,
    CheckOpen,             // %u: the error
    CheckIdentify,         // %u
    CheckRead,             // %u
    NotOurCopy,
    NoPublisher,
    TrustServices,         // %u
    NotSigned,
    Revoked,               // %s: the signer, %X: the trust services' code
    Untrusted,             // %s, %X
    BadSignature,          // %X
    NotPinned,             // %s: the digest found
    WrongSigner,           // %s: the signer, %s: the publisher
    NotCodeSigning,        // %s: the signer
    FinalPathUnreadable,   // %u
    FinalPathTooLong,
    NetworkVolume,
    RewrittenLoadPath,     // %s: the library's final path
    MappedUncomparable,    // %u
    MappedOther,
    RuntimeLoad,
    SettingMissing,
    Count
};

struct OutcomeInfo {
    int exitCode;
    uint8_t stage;
    const char16_t* format;  // the message, over the outcome's arguments; null: no box
};

// The outcome's row; a value outside the table (a fault of the launcher's own)
// gets a failure of its own, never the normal end's exit code 0.
const OutcomeInfo& InfoOf(Outcome outcome);

// How a stage ended: the outcome and its message as the box shows it.
struct Ending {
    Outcome outcome;
    char16_t message[MESSAGE_CAPACITY];
};

// The ending of outcome, its message formatted from the table with the
// arguments the comment at the outcome names (cut to the box's 255 characters).
Ending EndWith(Outcome outcome, ...);
Ending EndWithV(Outcome outcome, va_list args);

// Shows the ending's box, if it has one, and gives its exit code.
int ShowEnding(const Ending& ending);
