#include "cache/install.h"

#include "archive/file_layer.h"
#include "base/outcome.h"
#include "base/owned.h"
#include "base/text.h"
#include "cache/backoff.h"
#include "cache/remove_tree.h"
#include "platform/platform.h"

namespace {

// The entries installed into the runtime folder, compared exactly.
const char16_t* const INSTALL_LIST[] = {LIBRARY_NAME};

bool OnInstallList(const char16_t* name) {
    for (const char16_t* listed : INSTALL_LIST) {
        if (TextEqual(name, listed)) return true;
    }
    return false;
}

// Every open below is relative to the held runtime folder and never follows a
// link. A short hold is waited out: through sharing violations only where an
// access denial is an answer (a folder or read-only file there), through both
// where only a hold can refuse (pass WaitOutHold).
PlatFile OpenTarget(PlatFile folder, const char16_t* name, uint32_t access, uint32_t share, uint32_t disposition,
                    Backoff* backoff, bool (*wait)(Backoff*, uint32_t) = WaitOutSharing) {
    PlatFile file = PLAT_INVALID_HANDLE;
    do {
        file = PlatCreateFileAt(folder, name, access, share, disposition, FILE_FLAG_OPEN_REPARSE_POINT);
    } while ((file == PLAT_INVALID_HANDLE || file == nullptr) && wait(backoff, PlatGetLastError()));
    return file;
}

uint32_t OpenError() {
    const uint32_t error = PlatGetLastError();
    return error != 0 ? error : ERROR_INVALID_HANDLE;
}

// A plain file that is the only name of its contents: not a link, not a
// folder, no hard link elsewhere that would share what is written here.
bool IsOwnFile(PlatFile file) {
    uint32_t attributes = 0;
    uint32_t links = 0;
    return PlatGetHandleAttributes(file, &attributes) &&
           (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           PlatGetLinkCount(file, &links) && links == 1;
}

enum class Step { Current, Install, Stop };

// Whether the file at the target already holds the entry's content (Current),
// has to be written (Install), or stands in the way of a running copy (Stop,
// with the ending). A link, a folder or a file with other names there has no
// content of its own: its CRC counts as 0, and it is never left to the check.
Step CheckTarget(PlatFile folder, const char16_t* name, uint32_t crc, InstallMode mode, CheckBuffer* buffer,
                 Backoff* backoff, Ending* ending) {
    const bool force = mode == InstallMode::Rewrite;
    // The read test tells at once whether anything stands there.
    OwnedFile read(OpenTarget(folder, name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, backoff));
    const uint32_t error = read.Valid() ? 0 : OpenError();
    if (error == ERROR_SHARING_VIOLATION) {
        // Someone is writing it or keeps readers out: it cannot be read, so it
        // is current only if the recorded CRC is that of nothing read.
        if (crc == 0 && !force) return Step::Current;
        *ending = EndWith(Outcome::InstallInUseOtherCrc, name);
        return Step::Stop;
    }
    if (!force && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        const bool own = read.Valid() && IsOwnFile(read.Get());
        // The check before loading tells the packed code from any other by its
        // pin; reading the file here would tell it nothing more, and would
        // rewrite the same code signed apart, which a running copy may hold.
        if (mode == InstallMode::ByCheck && own) return Step::Current;
        // A read that fails midway sums what came before it.
        uint32_t found = 0;
        if (own) HandleCrc(read.Get(), &found, nullptr, buffer);
        if (mode == InstallMode::ByCrc && found == crc) return Step::Current;
    }
    read.Reset();
    // A running copy that has the library loaded keeps writers out.
    const OwnedFile write(OpenTarget(folder, name, GENERIC_WRITE, 0, OPEN_EXISTING, backoff));
    if (!write.Valid() && OpenError() == ERROR_SHARING_VIOLATION) {
        *ending = EndWith(Outcome::InstallInUse, name);
        return Step::Stop;
    }
    return Step::Install;
}

// Takes away what stands at name when a rename could not simply replace it or
// must not write through it: a link, a file with other names, a file with the
// read-only bit (older systems refuse to replace it). A real folder stays, and
// so does a plain file of its own, which the rename replaces. False when the
// way cannot be cleared.
bool ClearTheWay(PlatFile folder, const char16_t* name, Backoff* backoff) {
    // Backup semantics, so a folder link opens as the link it is.
    OwnedFile existing;
    do {
        existing.Reset(PlatCreateFileAt(folder, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    } while (!existing.Valid() && WaitOutHold(backoff, PlatGetLastError()));
    if (!existing.Valid()) {
        const uint32_t error = OpenError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    const uint32_t attributes = HandleAttributes(existing.Get());
    if (attributes == INVALID_FILE_ATTRIBUTES || IsRealFolder(attributes)) return false;
    uint32_t links = 0;
    const bool ownFile = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                         PlatGetLinkCount(existing.Get(), &links) && links == 1;
    if (ownFile && (attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    return RemoveNameOf(existing.Get(), attributes, backoff);
}

// Writes the decoded bytes under a fresh temporary name and renames that over
// the target by handle. False after the message; the temporary file is gone then.
bool WriteTarget(PlatFile folder, const char16_t* name, const DecodedEntry& entry, Backoff* backoff, Ending* ending) {
    // One name per process, so concurrent starts never share one; a name left
    // by a killed start of an earlier process with the same id is taken over.
    // The purge knows leftovers by this form alone (IsInstallTemporaryName).
    char16_t temporary[PLAT_FIND_NAME_CAPACITY];
    if (!TextFormat(temporary, PLAT_FIND_NAME_CAPACITY, u"%s.%u.new", name, PlatGetCurrentProcessId())) {
        *ending = EndWith(Outcome::InstallInUse, name);
        return false;
    }
    OwnedFile out;
    for (int attempt = 0; attempt < 2 && !out.Valid(); ++attempt) {
        out.Reset(OpenTarget(folder, temporary, GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW, backoff,
                             WaitOutHold));
        if (out.Valid() || attempt > 0 || OpenError() != ERROR_FILE_EXISTS) break;
        const OwnedFile stale(OpenTarget(folder, temporary, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0,
                                         OPEN_EXISTING, backoff, WaitOutHold));
        if (!stale.Valid()) break;
        const uint32_t attributes = HandleAttributes(stale.Get());
        if (attributes == INVALID_FILE_ATTRIBUTES || IsRealFolder(attributes) ||
            !RemoveNameOf(stale.Get(), attributes, backoff)) {
            break;
        }
    }
    if (!out.Valid()) {
        *ending = EndWith(Outcome::InstallInUse, name);
        return false;
    }
    const uint8_t* bytes = entry.buffer != nullptr ? entry.buffer + entry.offset : nullptr;
    size_t written = 0;
    uint32_t error = 0;
    if (!FileWrite(out.Get(), bytes, entry.size, &written, &error)) {
        PlatDeleteByHandle(out.Get());
        *ending = EndWith(Outcome::InstallWrite, name, static_cast<int32_t>(error));
        return false;
    }
    // Someone holding the old library without delete sharing blocks the rename for as long as they hold it.
    bool renamed = false;
    while (ClearTheWay(folder, name, backoff)) {
        renamed = PlatRenameByHandle(out.Get(), folder, name);
        if (renamed || !WaitOutHold(backoff, PlatGetLastError())) break;
    }
    if (!renamed) {
        PlatDeleteByHandle(out.Get());
        *ending = EndWith(Outcome::InstallInUse, name);
        return false;
    }
    return true;
}

}  // namespace

bool IsInstallTemporaryName(const char16_t* name) {
    for (const char16_t* listed : INSTALL_LIST) {
        const size_t length = TextLength(listed);
        size_t i = 0;
        while (i < length && name[i] == listed[i]) ++i;
        if (i < length || name[i++] != u'.') continue;
        // The process id in decimal: 1 to 10 digits.
        size_t digits = 0;
        for (; name[i] >= u'0' && name[i] <= u'9'; ++i) ++digits;
        if (digits >= 1 && digits <= 10 && TextEqual(name + i, u".new")) return true;
    }
    return false;
}

bool InstallEntries(ArchiveReader* reader, const RuntimeCache& cache, InstallMode mode, Backoff* waits,
                    InstalledLibrary* installed, Ending* ending) {
    *installed = InstalledLibrary{false, false, 0};
    const uint32_t count = reader->db.NumFiles;
    for (uint32_t index = 0; index < count; ++index) {
        char16_t* copied = nullptr;
        if (!CopyEntryName(&reader->db, index, &copied)) {
            *ending = EndWith(Outcome::InstallMemory);
            return false;
        }
        const OwnedText name(copied);
        if (!name.Valid() || !OnInstallList(name.Get())) continue;

        // Compared with the recorded value even when none is recorded (then 0):
        // a real file practically never sums to 0, so such an entry is rewritten.
        bool defined = false;
        const uint32_t crc = EntryCrc(&reader->db, index, &defined);

        const Step step = CheckTarget(cache.dir.Get(), name.Get(), crc, mode, &reader->check, waits, ending);
        if (step == Step::Stop) return false;
        if (step == Step::Current) {
            *installed = InstalledLibrary{true, false, crc};
            continue;
        }

        DecodeGuard decoded(reader);
        // A damaged entry is passed over; whatever stands at the target then is
        // not this archive's copy, which the check before loading refuses.
        if (!DecodeEntryFolder(reader, index, &decoded.entry, nullptr)) continue;
        if (!WriteTarget(cache.dir.Get(), name.Get(), decoded.entry, waits, ending)) return false;
        // The decoder compared the bytes with a recorded CRC; without one, the
        // written bytes give it.
        const uint8_t* bytes = decoded.entry.buffer != nullptr ? decoded.entry.buffer + decoded.entry.offset : nullptr;
        const uint32_t written = defined ? crc : (decoded.entry.size == 0 ? 0u : CrcCalc(bytes, decoded.entry.size));
        *installed = InstalledLibrary{true, true, written};
    }
    return true;
}
