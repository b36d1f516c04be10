#include "archive/archive_reader.h"

#include <cstring>

#include "archive/file_layer.h"
#include "base/bytes.h"

namespace {

// Both allocators: the C heap through the platform, so tests can fail them.
void* HeapAllocEntry(ISzAllocPtr, size_t size) {
    if (size == 0) return nullptr;
    return PlatHeapAlloc(size);
}

void HeapFreeEntry(ISzAllocPtr, void* address) {
    if (address != nullptr) PlatHeapFree(address);
}

FileInStream* StreamOf(ISeekInStreamPtr p) {
    // vt is the first member, so the interface pointer is the stream itself.
    return reinterpret_cast<FileInStream*>(const_cast<ISeekInStream*>(p));
}

SRes StreamRead(ISeekInStreamPtr p, void* buf, size_t* size) {
    FileInStream* stream = StreamOf(p);
    size_t got = 0;
    FileRead(stream->file, buf, *size, &got, &stream->lastError);
    *size = got;
    return stream->lastError == 0 ? SZ_OK : SZ_ERROR_READ;
}

SRes StreamSeek(ISeekInStreamPtr p, Int64* pos, ESzSeek origin) {
    FileInStream* stream = StreamOf(p);
    int64_t position = *pos;
    if (!FileSeek(stream->file, &position, static_cast<uint32_t>(origin), &stream->lastError)) return SZ_ERROR_READ;
    *pos = position;
    return SZ_OK;
}

bool BitSet(const Byte* bits, uint32_t index) {
    return (bits[index >> 3] & (0x80u >> (index & 7u))) != 0;
}

// The decoder's code, passed on when asked for; true for SZ_OK.
bool Ends(SRes result, SRes* code) {
    if (code != nullptr) *code = result;
    return result == SZ_OK;
}

}  // namespace

void ArchiveReaderSetUp(ArchiveReader* reader, PlatFile file) {
    SzArEx_Init(&reader->db);
    reader->allocMain.Alloc = HeapAllocEntry;
    reader->allocMain.Free = HeapFreeEntry;
    reader->allocTemp.Alloc = HeapAllocEntry;
    reader->allocTemp.Free = HeapFreeEntry;

    reader->fileStream.vt.Read = StreamRead;
    reader->fileStream.vt.Seek = StreamSeek;
    reader->fileStream.file = file;
    reader->fileStream.lastError = 0;

    // Exact mode: never reads more than the decoder asked for.
    LookToRead2_CreateVTable(&reader->lookStream, False);
    reader->lookStream.realStream = &reader->fileStream.vt;
    reader->lookStream.buf = nullptr;
    reader->lookStream.bufSize = 0;
    LookToRead2_INIT(&reader->lookStream);
    reader->check = CheckBuffer{nullptr, 0};
}

bool ArchiveReaderAllocBuffers(ArchiveReader* reader) {
    if (reader->lookStream.buf == nullptr) {
        Byte* buffer = static_cast<Byte*>(PlatHeapAlloc(LOOK_BUFFER_SIZE));
        if (buffer == nullptr) return false;
        reader->lookStream.buf = buffer;
        reader->lookStream.bufSize = LOOK_BUFFER_SIZE;
        LookToRead2_INIT(&reader->lookStream);
    }
    return CheckBufferAlloc(&reader->check);
}

bool ArchiveReaderOpen(ArchiveReader* reader, SRes* code) {
    const SRes result = SzArEx_Open(&reader->db, &reader->lookStream.vt, &reader->allocMain, &reader->allocTemp);
    if (result != SZ_OK) SzArEx_Free(&reader->db, &reader->allocMain);
    return Ends(result, code);
}

void ArchiveReaderClose(ArchiveReader* reader) {
    SzArEx_Free(&reader->db, &reader->allocMain);
    if (reader->lookStream.buf != nullptr) PlatHeapFree(reader->lookStream.buf);
    reader->lookStream.buf = nullptr;
    reader->lookStream.bufSize = 0;
    LookToRead2_INIT(&reader->lookStream);
    CheckBufferFree(&reader->check);
}

bool CopyEntryName(const CSzArEx* db, uint32_t index, char16_t** name) {
    *name = nullptr;
    if (db->FileNameOffsets == nullptr || db->FileNames == nullptr || index >= db->NumFiles) return true;
    // The open read every name up to its terminator, so each holds at least one unit and ends.
    const size_t start = db->FileNameOffsets[index];
    const size_t length = db->FileNameOffsets[index + 1] - start;
    char16_t* copy = static_cast<char16_t*>(PlatHeapAlloc(length * sizeof(char16_t)));
    if (copy == nullptr) return false;
    const Byte* source = db->FileNames + start * 2;
    for (size_t i = 0; i < length; ++i) {
        copy[i] = static_cast<char16_t>(Le16(source + 2 * i));
    }
    *name = copy;
    return true;
}

uint64_t EntrySize(const CSzArEx* db, uint32_t index) {
    return db->UnpackPositions[index + 1] - db->UnpackPositions[index];
}

bool EntryIsDir(const CSzArEx* db, uint32_t index) {
    return db->IsDirs != nullptr && BitSet(db->IsDirs, index);
}

uint32_t EntryCrc(const CSzArEx* db, uint32_t index, bool* defined) {
    if (defined != nullptr) *defined = db->CRCs.Defs != nullptr && BitSet(db->CRCs.Defs, index);
    // The open fills one value per entry, 0 where none is recorded.
    return db->CRCs.Vals[index];
}

bool DecodeEntryFolder(ArchiveReader* reader, uint32_t index, DecodedEntry* out, SRes* code) {
    out->buffer = nullptr;
    out->bufferSize = 0;
    out->offset = 0;
    out->size = 0;
    const CSzArEx* db = &reader->db;
    if (index >= db->NumFiles) return Ends(SZ_ERROR_PARAM, code);

    // An empty cache each time: every call decodes its folder from the start.
    UInt32 blockIndex = 0xFFFFFFFFu;
    Byte* buffer = nullptr;
    size_t bufferSize = 0;
    size_t offset = 0;
    size_t size = 0;
    SRes result = SzArEx_Extract(db, &reader->lookStream.vt, index, &blockIndex, &buffer, &bufferSize, &offset,
                                 &size, &reader->allocMain, &reader->allocTemp);
    // The library has checked the entry's range inside the folder (the open
    // already checked every range against its folder's size) and its recorded
    // CRC; the buffer is the caller's to free whatever the result.
    out->buffer = buffer;
    out->bufferSize = buffer != nullptr ? bufferSize : 0;
    if (result != SZ_OK) return Ends(result, code);
    out->offset = offset;
    out->size = size;
    return Ends(SZ_OK, code);
}

void FreeDecodedEntry(ArchiveReader* reader, DecodedEntry* entry) {
    if (entry->buffer != nullptr) ISzAlloc_Free(&reader->allocMain, entry->buffer);
    entry->buffer = nullptr;
    entry->bufferSize = 0;
    entry->offset = 0;
    entry->size = 0;
}
