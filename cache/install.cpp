#include "cache/install.h"

#include "archive/file_layer.h"
#include "cache/long_path.h"
#include "launcher/error_box.h"
#include "launcher/text.h"
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

// Releases the decoded folder on every way out of an entry.
struct DecodeGuard {
    ArchiveReader* reader;
    DecodedEntry entry{};
    explicit DecodeGuard(ArchiveReader* owner) : reader(owner) {}
    DecodeGuard(const DecodeGuard&) = delete;
    DecodeGuard& operator=(const DecodeGuard&) = delete;
    ~DecodeGuard() { ReleaseDecodedEntry(reader, &entry); }
};

// Opens with the given access and sharing, opening only an existing file, and
// closes again at once: 0 when it opened, otherwise the platform's reason.
uint32_t TryOpen(const char16_t* path, uint32_t access, uint32_t share) {
    const PlatFile file = PlatCreateFile(path, access, share, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (file == PLAT_INVALID_HANDLE || file == nullptr) {
        const uint32_t error = PlatGetLastError();
        return error != 0 ? error : ERROR_INVALID_HANDLE;
    }
    PlatCloseHandle(file);
    return 0;
}

enum class Step { Next, Install, Stop };

// Whether the file at target is already the entry's content (Next), has to be
// written (Install), or stands in the way of a running copy (Stop, after the message).
Step CheckTarget(const char16_t* target, const char16_t* name, uint32_t crc, CheckBuffer* buffer) {
    char16_t scratch[LONG_PATH_CAPACITY];
    if (PlatGetFileAttributes(ToLongPath(target, scratch)) != INVALID_FILE_ATTRIBUTES) {
        if (TryOpen(target, GENERIC_READ, FILE_SHARE_READ) == ERROR_SHARING_VIOLATION) {
            // Someone is writing it or keeps readers out: current only if it reads as current.
            if (FileCrc(target, buffer) == crc) return Step::Next;
            ShowErrorF(u"Cannot update %s: file is in use and has a different CRC.", name);
            return Step::Stop;
        }
        if (FileCrc(target, buffer) == crc) return Step::Next;
    }
    // A running copy that has the library loaded keeps writers out.
    if (TryOpen(ToLongPath(target, scratch), GENERIC_WRITE, 0) == ERROR_SHARING_VIOLATION) {
        ShowErrorF(u"Cannot update %s: file is in use.", name);
        return Step::Stop;
    }
    return Step::Install;
}

// Writes the decoded bytes to target. False after the message.
bool WriteTarget(const char16_t* target, const char16_t* name, const DecodedEntry& entry) {
    FileHandle out;
    if (OpenLongFile(&out.file, target, OpenMode::Write) != 0) {
        ShowErrorF(u"Cannot update %s: file is in use.", name);
        return false;
    }
    const uint8_t* bytes = entry.buffer != nullptr ? entry.buffer + entry.offset : nullptr;
    size_t written = 0;
    const uint32_t error = FileWrite(out.file, bytes, entry.size, &written);
    out.Close();
    if (error == 0) return true;

    // A partial file must never pass for the library at a later start; its CRC
    // would already differ, removing it also keeps an empty file from matching
    // an archive that records no CRC. Best effort: the message comes either way.
    {
        char16_t scratch[LONG_PATH_CAPACITY];
        PlatDeleteFile(ToLongPath(target, scratch));
    }
    ShowErrorF(u"Failed to write %s (error %d).", name, static_cast<int32_t>(error));
    return false;
}

}  // namespace

bool InstallEntries(ArchiveReader* reader, const char16_t* runtimeDir, InstalledLibrary* installed) {
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

        char16_t target[PATH_CAPACITY];
        if (!TextFormat(target, PATH_CAPACITY, u"%s\\%s", runtimeDir, name.text)) continue;

        // Compared with the recorded value even when none is recorded (then 0):
        // a real file practically never sums to 0, so such an entry is rewritten.
        bool defined = false;
        const uint32_t crc = EntryCrc(&reader->db, index, &defined);

        const Step step = CheckTarget(target, name.text, crc, &reader->check);
        if (step == Step::Stop) return false;
        if (step == Step::Next) {
            *installed = InstalledLibrary{true, crc};
            continue;
        }

        DecodeGuard decoded(reader);
        // A damaged entry is passed over; whatever stands at the target then is
        // not this archive's copy, which the check before loading refuses.
        if (DecodeEntryFolder(reader, index, &decoded.entry) != SZ_OK) continue;
        if (!WriteTarget(target, name.text, decoded.entry)) return false;
        // The decoder compared the bytes with a recorded CRC; without one, the
        // written bytes give it.
        const uint8_t* bytes = decoded.entry.buffer != nullptr ? decoded.entry.buffer + decoded.entry.offset : nullptr;
        *installed = InstalledLibrary{true, defined ? crc : (decoded.entry.size == 0 ? 0u : CrcCalc(bytes, decoded.entry.size))};
    }
    return true;
}
