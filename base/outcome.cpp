#include "base/outcome.h"

#include <cstdarg>

#include "base/text.h"
#include "platform/platform.h"

namespace {

struct OutcomeRow {
    Outcome outcome;
    OutcomeInfo info;
};

// One row per outcome, keyed by it and in its order (checked below at compile time).
constexpr OutcomeRow TABLE[] = {
    {Outcome::Ok, {EXIT_OK, 0, nullptr}},
    {Outcome::OwnPath, {EXIT_OWN_PATH, 1, u"Cannot resolve own module path"}},
    {Outcome::Redirected,
     {EXIT_REDIRECTED, 1, u"This application cannot start safely: remove \"%s.local\" from its folder."}},
    {Outcome::RewrittenOwnPath,
     {EXIT_REWRITTEN_NAME, 1, u"This application cannot start safely: a name in its path ends in a dot or a space, "
      u"and Windows would open another file by it: %s"}},
    {Outcome::ExeOpen, {EXIT_EXE_OPEN, 2, u"Error opening EXE"}},
    {Outcome::Probe, {EXIT_PROBE, 3, u"Cannot determine EXE size"}},
    {Outcome::NoArchive, {EXIT_NO_ARCHIVE, 5, u"7z archive not found"}},
    {Outcome::ArchiveSeek, {EXIT_ARCHIVE_SEEK, 6, nullptr}},
    {Outcome::ReaderMemory, {EXIT_READER_MEMORY, 7, u"Memory allocation error"}},
    {Outcome::ArchiveOpen, {EXIT_ARCHIVE_OPEN, 8, u"SzArEx_Open error: %d"}},
    {Outcome::PayloadNotFound, {EXIT_PAYLOAD, 9, u"Vorlane.Bin not found"}},
    {Outcome::PayloadOutOfRange, {EXIT_PAYLOAD, 9, u"Vorlane.Bin offset out of range"}},
    {Outcome::PayloadCrc, {EXIT_PAYLOAD, 9, u"Vorlane.Bin CRC error"}},
    {Outcome::PayloadMemory, {EXIT_PAYLOAD_MEMORY, 9, u"Memory allocation error"}},
    {Outcome::RuntimeDir, {EXIT_RUNTIME_DIR, 10, u"Failed to create output directory"}},
    {Outcome::RewrittenCachePath,
     {EXIT_REWRITTEN_NAME, 10, u"Cannot use the runtime cache safely: a name in its path ends in a dot or a space, "
      u"and Windows would open other files by it: %s"}},
    {Outcome::LibraryPath, {EXIT_LIBRARY_PATH, 11, nullptr}},
    {Outcome::InstallInUseOtherCrc, {EXIT_INSTALL, 12, u"Cannot update %s: file is in use and has a different CRC."}},
    {Outcome::InstallInUse, {EXIT_INSTALL, 12, u"Cannot update %s: file is in use."}},
    {Outcome::InstallWrite, {EXIT_INSTALL, 12, u"Failed to write %s (error %d)."}},
    {Outcome::InstallMemory, {EXIT_INSTALL, 12, u"Memory allocation error"}},
    {Outcome::UnsafeSearch,
     {EXIT_INTEGRITY, 14, u"VorlaneStub.dll cannot be loaded safely on this system: install the Windows update "
      u"KB2533623."}},
    {Outcome::PinUnreadable,
     {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: this application's pin cannot be read."}},
    {Outcome::CheckOpen, {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: the file cannot be opened (error %u)."}},
    {Outcome::CheckIdentify,
     {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: the file cannot be identified (error %u)."}},
    {Outcome::CheckRead, {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: the file cannot be read (error %u)."}},
    {Outcome::NotOurCopy, {EXIT_INTEGRITY, 14, u"The installed VorlaneStub.dll is not this application's copy."}},
    {Outcome::NoPublisher, {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: this application names no publisher."}},
    {Outcome::TrustServices,
     {EXIT_INTEGRITY, 14, u"Cannot check VorlaneStub.dll: the system's trust services cannot be loaded (error %u)."}},
    {Outcome::NotSigned, {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is not signed."}},
    {Outcome::Revoked,
     {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is signed by %s, whose certificate has been revoked (0x%X)."}},
    {Outcome::Untrusted,
     {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is signed by %s, whose certificate is not trusted (0x%X)."}},
    {Outcome::BadSignature, {EXIT_INTEGRITY, 14, u"VorlaneStub.dll has an invalid signature (0x%X)."}},
    {Outcome::NotPinned,
     {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is not the runtime this application was packed with (digest %s)."}},
    {Outcome::WrongSigner, {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is signed by %s, expected %s."}},
    {Outcome::NotCodeSigning,
     {EXIT_INTEGRITY, 14, u"VorlaneStub.dll is signed by %s, whose certificate is not for code signing."}},
    {Outcome::FinalPathUnreadable,
     {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll: its final path cannot be read (error %u)."}},
    {Outcome::FinalPathTooLong, {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll: its final path is too long."}},
    {Outcome::NetworkVolume,
     {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll safely: the runtime cache is on a network volume, whose "
      u"server could change the file after its check."}},
    {Outcome::RewrittenLoadPath,
     {EXIT_REWRITTEN_NAME, 15, u"Cannot load VorlaneStub.dll safely: a name in its path ends in a dot or a space, "
      u"and Windows would load another file by it: %s"}},
    {Outcome::MappedUncomparable,
     {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll: the file it mapped cannot be compared with the one checked "
      u"(error %u)."}},
    {Outcome::MappedOther,
     {EXIT_INTEGRITY, 15, u"Cannot load VorlaneStub.dll: the loader mapped another file than the one checked."}},
    {Outcome::RuntimeLoad, {EXIT_RUNTIME_LOAD, 15, u"Failed to load VorlaneStub DLL"}},
    {Outcome::SettingMissing, {EXIT_SETTING_MISSING, 15, nullptr}},
};

// Every outcome has exactly its row, in the order of Outcome, so that a value
// finds its row by position and no row can belong to another outcome.
constexpr bool EveryOutcomeHasItsRow() {
    constexpr size_t rows = sizeof(TABLE) / sizeof(TABLE[0]);
    if (rows != static_cast<size_t>(Outcome::Count)) return false;
    for (size_t i = 0; i < rows; ++i) {
        if (TABLE[i].outcome != static_cast<Outcome>(i)) return false;
    }
    return true;
}
static_assert(EveryOutcomeHasItsRow(), "every outcome needs exactly its own row, in the order of Outcome");

// A value outside the table can only come from a fault of the launcher's own:
// it must never pass for the normal end.
constexpr OutcomeInfo UNKNOWN_OUTCOME = {EXIT_UNKNOWN_OUTCOME, 0,
                                         u"Internal error: the launcher ended without a known outcome."};

bool IsKnown(Outcome outcome) { return static_cast<size_t>(outcome) < static_cast<size_t>(Outcome::Count); }

}  // namespace

const OutcomeInfo& InfoOf(Outcome outcome) {
    return IsKnown(outcome) ? TABLE[static_cast<size_t>(outcome)].info : UNKNOWN_OUTCOME;
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
    const OutcomeInfo& info = InfoOf(ending.outcome);
    if (info.format != nullptr) {
        // A box drawn by the system loads nothing into this process: the ones
        // shown before "<exe>.local" was ruled out (it could redirect libraries) must not.
        const bool systemDrawn = ending.outcome == Outcome::Redirected || ending.outcome == Outcome::RewrittenOwnPath;
        // The common controls (the boxes' newer look) are loaded for a box
        // only: a start that succeeds never maps them.
        if (!systemDrawn) PlatInitCommonControls();
        // An unknown outcome's message was never formatted from its row.
        const char16_t* text = IsKnown(ending.outcome) ? ending.message : info.format;
        PlatMessageBox(text, u"Error", systemDrawn ? MB_ICONERROR | MB_SERVICE_NOTIFICATION : MB_ICONERROR);
    }
    return info.exitCode;
}
