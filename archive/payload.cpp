#include "archive/payload.h"

#include "base/owned.h"
#include "base/text.h"

PayloadResult LocateAndCheckPayload(ArchiveReader* reader, PlatFile exe, uint64_t fileSize, PayloadLocation* location) {
    location->offset = 0;
    location->size = 0;
    const CSzArEx* db = &reader->db;
    // Without a names record no entry can be the payload.
    if (db->FileNameOffsets == nullptr || db->FileNames == nullptr) return PayloadResult::NotFound;

    bool found = false;
    for (uint32_t i = 0; i < db->NumFiles; ++i) {
        char16_t* copied = nullptr;
        if (!CopyEntryName(db, i, &copied)) return PayloadResult::OutOfMemory;
        const OwnedText name(copied);
        if (!name.Valid() || !TextEqual(name.Get(), PAYLOAD_NAME)) continue;

        // Only an entry whose bytes lie in the file can be handed on: a folder,
        // an empty entry or an archive without packed data gives no offset, and
        // the runtime must never receive one that was not checked.
        const uint32_t folder = db->FileToFolder[i];
        if (EntryIsDir(db, i) || db->db.PackPositions == nullptr || folder == 0xFFFFFFFFu) continue;
        const uint64_t size = EntrySize(db, i);
        if (size == 0) continue;

        // The open checked that the packed data ends before the next header, so
        // this sum cannot wrap; the entry's own size is not bounded by it.
        const uint32_t packIndex = db->db.FoStartPackStreamIndex[folder];
        const uint64_t offset = db->dataPos + db->db.PackPositions[packIndex];
        if (offset >= fileSize || size > fileSize - offset) return PayloadResult::OutOfRange;
        const uint32_t crc = EntryCrc(db, i, nullptr);
        if (!RegionCrcMatches(exe, offset, size, crc, &reader->check)) return PayloadResult::CrcError;

        found = true;
        location->offset = offset;
        location->size = size;
    }
    return found ? PayloadResult::Ok : PayloadResult::NotFound;
}

Outcome PayloadOutcome(PayloadResult result) {
    switch (result) {
        case PayloadResult::NotFound: return Outcome::PayloadNotFound;
        case PayloadResult::OutOfRange: return Outcome::PayloadOutOfRange;
        case PayloadResult::CrcError: return Outcome::PayloadCrc;
        case PayloadResult::OutOfMemory: return Outcome::PayloadMemory;
        case PayloadResult::Ok: break;
    }
    return Outcome::Ok;
}
