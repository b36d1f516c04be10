#include "base/outcome.h"

#include <cstdarg>

#include "base/text.h"
#include "platform/platform.h"

namespace {

// In the order of Outcome.
const OutcomeInfo TABLE[] = {
    {EXIT_OK, 0, nullptr},
    {EXIT_OWN_PATH, 1, u"Cannot resolve own module path"},
    {EXIT_REDIRECTED, 1, u"This application cannot start safely: remove \"%s.local\" from its folder."},
    {EXIT_EXE_OPEN, 2, u"Error opening EXE"},
    {EXIT_PROBE, 3, u"Cannot determine EXE size"},
    {EXIT_NO_ARCHIVE, 5, u"7z archive not found"},
    {EXIT_ARCHIVE_SEEK, 6, nullptr},
    {EXIT_READER_MEMORY, 7, u"Memory allocation error"},
    {EXIT_ARCHIVE_OPEN, 8, u"SzArEx_Open error: %d"},
    {EXIT_PAYLOAD, 9, u"Vorlane.Bin not found"},
    {EXIT_PAYLOAD, 9, u"Vorlane.Bin offset out of range"},
    {EXIT_PAYLOAD, 9, u"Vorlane.Bin CRC error"},
    {EXIT_PAYLOAD_MEMORY, 9, u"Memory allocation error"},
    {EXIT_RUNTIME_DIR, 10, u"Failed to create output directory"},
    {EXIT_LIBRARY_PATH, 11, nullptr},
    {EXIT_INSTALL, 12, u"Cannot update %s: file is in use and has a different CRC."},
    {EXIT_INSTALL, 12, u"Cannot update %s: file is in use."},
    {EXIT_INSTALL, 12, u"Failed to write %s (error %d)."},
    {EXIT_INSTALL, 12, u"Memory allocation error"},
    {EXIT_INTEGRITY, 14, u"VorlaneStub.dll cannot be loaded safely on this system: install the Windows update KB2533623."},
    {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: this application's pin cannot be read."},
    {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: the file cannot be opened (error %u)."},
    {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: the file cannot be identified (error %u)."},
    {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: the file cannot be read (error %u)."},
    {EXIT_INTEGRITY, 14, u"The installed VorlaneStub.dll is not this application's copy."},
    {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: this application names no publisher."},
    {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: the system's trust services cannot be loaded (error %u)."},
    {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is not signed."},
    {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is signed by %s, whose certificate has been revoked (0x%X)."},
    {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is signed by %s, whose certificate is not trusted (0x%X)."},
    {EXIT_INTEGRITY, 14, u"VorlaneStub.dll has an invalid signature (0x%X)."},
    {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is not the runtime this application was packed with (digest %s)."},
    {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is signed by %s, expected %s."},
    {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is signed by %s, whose certificate is not for code signing."},
    {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll: its final path cannot be read (error %u)."},
    {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll: its final path is too long."},
    {EXIT_INTEGRITY, 15,
     u"Cannot load VorlaneStub.dll safely: the runtime cache is on a network volume, whose server could change the "
     u"file after its check."},
    {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll: the file it mapped cannot be compared with the one checked (error %u)."},
    {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll: the loader mapped another file than the one checked."},
    {EXIT_RUNTIME_LOAD, 15, u"Failed to load VorlaneStub DLL"},
    {EXIT_SETTING_MISSING, 15, nullptr},
};
static_assert(sizeof(TABLE) / sizeof(TABLE[0]) == static_cast<size_t>(Outcome::Count), "one row per outcome");

}  // namespace

const OutcomeInfo& InfoOf(Outcome outcome) {
    const size_t index = static_cast<size_t>(outcome);
    return TABLE[index < static_cast<size_t>(Outcome::Count) ? index : 0];
}

Ending EndWithV(Outcome outcome, va_list args) {
    Ending ending{outcome, {}};
    const char16_t* format = InfoOf(outcome).format;
    if (format != nullptr) TextFormatV(ending.message, MESSAGE_CAPACITY, format, args);
    return ending;
}

Ending EndWith(Outcome outcome, ...) {
    va_list args;
    va_start(args, outcome);
    const Ending ending = EndWithV(outcome, args);
    va_end(args);
    return ending;
}

int ShowEnding(const Ending& ending) {
    if (InfoOf(ending.outcome).format != nullptr) {
        // A box drawn by the system loads nothing into this process: the one
        // shown while "<exe>.local" could redirect libraries must not.
        const bool systemDrawn = ending.outcome == Outcome::Redirected;
        // The common controls (the boxes' newer look) are loaded for a box
        // only: a start that succeeds never maps them.
        if (!systemDrawn) PlatInitCommonControls();
        PlatMessageBox(ending.message, u"Error", systemDrawn ? MB_ICONERROR | MB_SERVICE_NOTIFICATION : MB_ICONERROR);
    }
    return InfoOf(ending.outcome).exitCode;
}
