#include "launcher/integrity.h"

#include "archive/archive_reader.h"
#include "base/long_path.h"
#include "base/text.h"
#include "cache/remove_tree.h"
#include "cache/runtime_dir.h"
#include "launcher/build_config.h"

namespace {

CheckVerdict CheckSignature(const LibraryCheck& check, PlatFile file, const Pin* pin, Ending* ending) {
    // Without a publisher any signer would do: that is no check.
    char16_t publisher[PUBLISHER_CAPACITY];
    const int publisherLength = PlatLoadString(check.instance, PUBLISHER_STRING_ID, publisher, PUBLISHER_CAPACITY);
    if (publisherLength <= 0) {
        return CheckEnds(CheckVerdict::Failed, ending, Outcome::NoPublisher);
    }
    publisher[publisherLength < PUBLISHER_CAPACITY ? publisherLength : PUBLISHER_CAPACITY - 1] = 0;

    if (!PlatLoadTrustServices()) {
        return CheckEnds(CheckVerdict::Failed, ending, Outcome::TrustServices, PlatGetLastError());
    }
    PlatTrustAnswer answer;
    PlatVerifyTrust(file, check.libraryPath, &answer);
    return JudgeTrustAnswer(&answer, publisher, static_cast<size_t>(publisherLength), pin, ending);
}

}  // namespace

LauncherPin ReadLauncherPin(PlatModule instance) {
    LauncherPin read{PinState::None, {}};
    char16_t text[PUBLISHER_CAPACITY];
    const int length = PlatLoadString(instance, PIN_STRING_ID, text, PUBLISHER_CAPACITY);
    if (length <= 0) return read;
    text[length < PUBLISHER_CAPACITY ? length : PUBLISHER_CAPACITY - 1] = 0;
    read.state = ParsePin(text, &read.pin) ? PinState::Present : PinState::Unreadable;
    return read;
}

bool CheckDecidesCurrent(const LauncherPin& pin) { return pin.state == PinState::Present && VORLANE_VERIFY_SIGNATURE; }

CheckVerdict CheckRuntimeIntegrity(const LibraryCheck& check, CheckedLibrary* checked, Ending* ending) {
    // Without the restricted search the loader would look for the library's own
    // dependencies beside it and in the current folder, where nothing is checked.
    if (!check.searchRestricted) {
        return CheckEnds(CheckVerdict::Failed, ending, Outcome::UnsafeSearch);
    }
    if (check.pin.state == PinState::Unreadable) {
        return CheckEnds(CheckVerdict::Failed, ending, Outcome::PinUnreadable);
    }
    const bool pinned = check.pin.state == PinState::Present;

    // Read sharing only: nobody may write, rename or delete the file until it is loaded.
    OwnedFile file(PlatCreateFileAt(check.runtimeDir, LIBRARY_NAME, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT));
    if (!file.Valid()) {
        const uint32_t error = PlatGetLastError();
        // Gone since it was installed: the archive still has it.
        const CheckVerdict verdict = error == ERROR_FILE_NOT_FOUND ? CheckVerdict::Refused : CheckVerdict::Failed;
        return CheckEnds(verdict, ending, Outcome::CheckOpen, error);
    }

    // A link is no copy at all, and a file with another name elsewhere could be
    // changed through that name.
    uint32_t attributes = 0;
    uint32_t links = 0;
    if (!PlatGetHandleAttributes(file.Get(), &attributes) || !PlatGetLinkCount(file.Get(), &links)) {
        return CheckEnds(CheckVerdict::Failed, ending, Outcome::CheckIdentify, PlatGetLastError());
    }
    if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 || links != 1) {
        return CheckEnds(CheckVerdict::Refused, ending, Outcome::NotOurCopy);
    }

    // Without a pin, or without the trust services to report the digest, the
    // bytes that will run must at least be this archive's.
    if (!CheckDecidesCurrent(check.pin)) {
        uint32_t crc = 0;
        uint32_t error = 0;
        if (!HandleCrc(file.Get(), &crc, &error, check.buffer)) {
            return CheckEnds(CheckVerdict::Failed, ending, Outcome::CheckRead, error);
        }
        if (!check.installed.known || crc != check.installed.crc) {
            return CheckEnds(CheckVerdict::Refused, ending, Outcome::NotOurCopy);
        }
    }

    if (VORLANE_VERIFY_SIGNATURE) {
        const CheckVerdict signature = CheckSignature(check, file.Get(), pinned ? &check.pin.pin : nullptr, ending);
        if (signature != CheckVerdict::Passed) return signature;
    }
    checked->held.Reset(file.Release());
    return CheckEnds(CheckVerdict::Passed, ending, Outcome::Ok);
}

bool ResolveLoadPath(const CheckedLibrary& checked, char16_t* path, Ending* ending) {
    char16_t final[LONG_PATH_CAPACITY];
    const uint32_t length = PlatGetFinalPath(checked.held.Get(), final, LONG_PATH_CAPACITY);
    if (length == 0) {
        *ending = EndWith(Outcome::FinalPathUnreadable, PlatGetLastError());
        return false;
    }
    // "\\?\UNC\server\share\..." is a file on another machine; "\\?\X:\..." a local one.
    const char16_t* plain = final;
    if (length >= 4 && final[0] == u'\\' && final[1] == u'\\' && final[2] == u'?' && final[3] == u'\\') plain += 4;
    const bool unc = (plain[0] == u'U' || plain[0] == u'u') && (plain[1] == u'N' || plain[1] == u'n') &&
                     (plain[2] == u'C' || plain[2] == u'c') && plain[3] == u'\\';
    if (unc || plain[0] == u'\\') {
        *ending = EndWith(Outcome::NetworkVolume);
        return false;
    }
    // Stage 10 refused such a cache; this is the very path the loader gets.
    if (PlainFormRewrites(plain)) {
        *ending = EndWith(Outcome::RewrittenLoadPath, plain);
        return false;
    }
    char16_t scratch[LONG_PATH_CAPACITY];
    if (!TextFormat(path, LONG_PATH_CAPACITY, u"%s", ToLongPath(plain, scratch))) {
        *ending = EndWith(Outcome::FinalPathTooLong);
        return false;
    }
    return true;
}
