#include "cache/install.h"

#include "archive/file_layer.h"
#include "base/long_path.h"
#include "base/error_box.h"
#include "base/text.h"
#include "platform/platform.h"

namespace {

// The entries installed into the runtime folder, compared exactly.
const char16_t* const INSTALL_LIST[] = {u"VorlaneStub.dll"};

bool OnInstallList(const char16_t* name) {
    for (const char16_t* listed : INSTALL_LIST) {
        if (TextEqual(name, listed)) return true;
    }
    return false;
}

// Every open below is relative to the held runtime folder and never follows a link.
constexpr uint32_t NO_FOLLOW = FILE_FLAG_OPEN_REPARSE_POINT;

PlatFile OpenTarget(PlatFile folder, const char16_t* name, uint32_t access, uint32_t share, uint32_t disposition) {
    return PlatCreateFileAt(folder, name, access, share, disposition, NO_FOLLOW);
}

uint32_t OpenError() {
    const uint32_t error = PlatGetLastError();
    return error != 0 ? error : ERROR_INVALID_HANDLE;
}

// Whether a handle holds a plain file: not a link, not a folder.
bool IsPlainFile(PlatFile file) {
    uint32_t attributes = 0;
    return PlatGetHandleAttributes(file, &attributes) &&
           (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

enum class Step { Next, Install, Stop };

// Whether the file at the target is already the entry's content (Next), has to
// be written (Install), or stands in the way of a running copy (Stop, after the
// message). A link or folder there has no content of its own: its CRC counts as 0.
Step CheckTarget(PlatFile folder, const char16_t* name, uint32_t crc, CheckBuffer* buffer) {
    // The read test tells at once whether anything stands there.
    FileHandle read;
    read.file = OpenTarget(folder, name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    const uint32_t error = read.Valid() ? 0 : OpenError();
    if (error == ERROR_SHARING_VIOLATION) {
        // Someone is writing it or keeps readers out: it cannot be read, so it
        // is current only if the recorded CRC is that of nothing read.
        if (crc == 0) return Step::Next;
        ShowErrorF(u"Cannot update %s: file is in use and has a different CRC.", name);
        return Step::Stop;
    }
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        // A read that fails midway sums what came before it.
        uint32_t found = 0;
        if (read.Valid() && IsPlainFile(read.file)) HandleCrc(read.file, &found, buffer);
        if (found == crc) return Step::Next;
    }
    read.Close();
    // A running copy that has the library loaded keeps writers out.
    FileHandle write;
    write.file = OpenTarget(folder, name, GENERIC_WRITE, 0, OPEN_EXISTING);
    if (!write.Valid() && OpenError() == ERROR_SHARING_VIOLATION) {
        ShowErrorF(u"Cannot update %s: file is in use.", name);
        return Step::Stop;
    }
    return Step::Install;
}

// Writes the decoded bytes to the target, never through a link. False after the message.
bool WriteTarget(PlatFile folder, const char16_t* name, const DecodedEntry& entry) {
    // A library some tool marked read-only, hidden or system is rewritten all
    // the same: its bits are reset first (by handle, and only on a plain file).
    {
        FileHandle existing;
        existing.file = OpenTarget(folder, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
        uint32_t attributes = 0;
        if (existing.Valid() && PlatGetHandleAttributes(existing.file, &attributes) &&
            (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0 &&
            (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0) {
            PlatSetHandleAttributes(existing.file, FILE_ATTRIBUTE_NORMAL);
        }
    }
    // Opened without truncating, judged by handle, then emptied through it.
    FileHandle out;
    out.file = OpenTarget(folder, name, GENERIC_WRITE | DELETE, FILE_SHARE_READ, OPEN_ALWAYS);
    if (!out.Valid() || !IsPlainFile(out.file)) {
        ShowErrorF(u"Cannot update %s: file is in use.", name);
        return false;
    }
    const uint8_t* bytes = entry.buffer != nullptr ? entry.buffer + entry.offset : nullptr;
    size_t written = 0;
    PlatSetLastError(0);
    uint32_t error = PlatSetEndOfFile(out.file) ? 0 : OpenError();
    if (error == 0) error = FileWrite(out.file, bytes, entry.size, &written);
    if (error == 0) return true;

    // A partial file must never pass for the library at a later start; its CRC
    // would already differ, removing it also keeps an empty file from matching
    // an archive that records no CRC. Best effort: the message comes either way.
    PlatDeleteByHandle(out.file);
    out.Close();
    ShowErrorF(u"Failed to write %s (error %d).", name, static_cast<int32_t>(error));
    return false;
}

}  // namespace

bool TargetExists(PlatFile folder, const char16_t* name) {
    FileHandle probe;
    probe.file = PlatCreateFileAt(folder, name, FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (probe.Valid()) return true;
    const uint32_t error = PlatGetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool InstallEntries(ArchiveReader* reader, const char16_t* runtimeDir, PlatFile folder, InstalledLibrary* installed) {
    *installed = InstalledLibrary{false, 0};
    const uint32_t count = reader->db.NumFiles;
    for (uint32_t index = 0; index < count; ++index) {
        char16_t* copied = nullptr;
        if (!CopyEntryName(&reader->db, index, &copied)) {
            ShowError(u"Memory allocation error");
            return false;
        }
        const HeapText name(copied);
        if (name.text == nullptr || !OnInstallList(name.text)) continue;

        // Written relative to the folder, but its full path must still fit.
        char16_t target[PATH_CAPACITY];
        if (!TextFormat(target, PATH_CAPACITY, u"%s\\%s", runtimeDir, name.text)) continue;

        // Compared with the recorded value even when none is recorded (then 0):
        // a real file practically never sums to 0, so such an entry is rewritten.
        bool defined = false;
        const uint32_t crc = EntryCrc(&reader->db, index, &defined);

        const Step step = CheckTarget(folder, name.text, crc, &reader->check);
        if (step == Step::Stop) return false;
        if (step == Step::Next) {
            *installed = InstalledLibrary{true, crc};
            continue;
        }

        DecodeGuard decoded(reader);
        // A damaged entry is passed over; whatever stands at the target then is
        // not this archive's copy, which the check before loading refuses.
        if (DecodeEntryFolder(reader, index, &decoded.entry) != SZ_OK) continue;
        if (!WriteTarget(folder, name.text, decoded.entry)) return false;
        // The decoder compared the bytes with a recorded CRC; without one, the
        // written bytes give it.
        const uint8_t* bytes = decoded.entry.buffer != nullptr ? decoded.entry.buffer + decoded.entry.offset : nullptr;
        *installed = InstalledLibrary{true, defined ? crc : (decoded.entry.size == 0 ? 0u : CrcCalc(bytes, decoded.entry.size))};
    }
    return true;
}
