#include "archive/file_crc.h"

#include "archive/file_layer.h"

bool CheckBufferAlloc(CheckBuffer* buffer) {
    if (buffer->bytes != nullptr) return true;
    buffer->bytes = static_cast<uint8_t*>(PlatHeapAlloc(CHECK_PIECE_SIZE));
    buffer->size = buffer->bytes != nullptr ? CHECK_PIECE_SIZE : 0;
    return buffer->bytes != nullptr;
}

void CheckBufferFree(CheckBuffer* buffer) {
    if (buffer->bytes != nullptr) PlatHeapFree(buffer->bytes);
    buffer->bytes = nullptr;
    buffer->size = 0;
}

bool HandleCrc(PlatFile file, uint32_t* crc, uint32_t* error, CheckBuffer* buffer) {
    *crc = 0;
    uint32_t ignored = 0;
    if (error == nullptr) error = &ignored;  // the loop below reads it
    *error = 0;
    CheckBufferInUse pieces(buffer);
    if (!pieces.Ready()) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    int64_t position = 0;
    uint32_t running = 0;
    bool reading = FileSeek(file, &position, FILE_BEGIN, error);
    while (reading) {
        size_t got = 0;
        reading = FileRead(file, pieces.use->bytes, pieces.use->size, &got, error) && got != 0;
        if (reading) running = Crc32Update(running, pieces.use->bytes, got);
    }
    *crc = running;
    if (*error != 0) return false;
    position = 0;
    return FileSeek(file, &position, FILE_BEGIN, error);
}

bool RegionCrcMatches(PlatFile file, uint64_t offset, uint64_t size, uint32_t crc, CheckBuffer* buffer) {
    int64_t position = static_cast<int64_t>(offset);
    if (!FileSeek(file, &position, FILE_BEGIN, nullptr)) return false;
    if (static_cast<uint64_t>(position) != offset) return false;
    CheckBufferInUse pieces(buffer);
    if (!pieces.Ready()) return false;
    uint32_t running = 0;
    uint64_t remaining = size;
    while (remaining > 0) {
        const size_t chunk = remaining < pieces.use->size ? static_cast<size_t>(remaining) : pieces.use->size;
        size_t got = 0;
        if (!FileRead(file, pieces.use->bytes, chunk, &got, nullptr) || got < chunk) return false;
        running = Crc32Update(running, pieces.use->bytes, chunk);
        remaining -= chunk;
    }
    return running == crc;
}
