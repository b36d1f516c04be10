#include "archive/file_layer.h"

#include "base/long_path.h"

namespace {

// Passes the code on when asked for; true for none.
bool Ends(uint32_t code, uint32_t* error) {
    if (error != nullptr) *error = code;
    return code == 0;
}

}  // namespace

bool OpenLongFile(OwnedFile* file, const char16_t* path, uint32_t* error) {
    char16_t scratch[LONG_PATH_CAPACITY];
    const PlatFile opened =
        PlatCreateFile(ToLongPath(path, scratch), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    uint32_t code = 0;
    if (opened == PLAT_INVALID_HANDLE || opened == nullptr) {
        // An invalid handle is never a success, whatever the platform left behind.
        code = PlatGetLastError();
        if (code == 0) code = ERROR_INVALID_HANDLE;
    }
    // Taken before closing what file held, which could change the last error.
    file->Reset(opened);
    return Ends(code, error);
}

bool FileRead(PlatFile file, void* buffer, size_t size, size_t* read, uint32_t* error) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    uint32_t result = 0;
    while (done < size) {
        const size_t remaining = size - done;
        const uint32_t piece = remaining < MAX_IO_SIZE ? static_cast<uint32_t>(remaining) : MAX_IO_SIZE;
        uint32_t got = 0;
        // Cleared first, so a failure that gives no reason is not read as an older one.
        PlatSetLastError(0);
        if (!PlatReadFile(file, out + done, piece, &got)) {
            // Bytes a failed call still reports are counted, never beyond what was asked.
            if (got > piece) got = piece;
            done += got;
            result = PlatGetLastError();
            break;
        }
        if (got == 0) break;  // end of file
        if (got > piece) got = piece;
        done += got;
    }
    *read = done;
    return Ends(result, error);
}

bool FileWrite(PlatFile file, const void* buffer, size_t size, size_t* written, uint32_t* error) {
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    uint32_t result = 0;
    while (done < size) {
        const size_t remaining = size - done;
        const uint32_t piece = remaining < MAX_IO_SIZE ? static_cast<uint32_t>(remaining) : MAX_IO_SIZE;
        uint32_t put = 0;
        PlatSetLastError(0);
        const bool ok = PlatWriteFile(file, in + done, piece, &put);
        if (put > piece) put = piece;
        done += put;
        if (!ok || put == 0) {
            // A write that stops early leaves a truncated file: always a failure.
            result = PlatGetLastError();
            if (result == 0) result = ERROR_WRITE_FAULT;
            break;
        }
    }
    *written = done;
    return Ends(result, error);
}

bool FileSeek(PlatFile file, int64_t* position, uint32_t origin, uint32_t* error) {
    if (origin > FILE_END) return Ends(ERROR_INVALID_PARAMETER, error);
    const uint64_t distance = static_cast<uint64_t>(*position);
    const int32_t low = static_cast<int32_t>(static_cast<uint32_t>(distance & 0xFFFFFFFFu));
    int32_t high = static_cast<int32_t>(static_cast<uint32_t>(distance >> 32));
    // A stale code must not turn a legitimate all-ones low half into a failure.
    PlatSetLastError(0);
    const uint32_t newLow = PlatSetFilePointer(file, low, &high, origin);
    if (newLow == INVALID_SET_FILE_POINTER) {
        const uint32_t code = PlatGetLastError();
        if (code != 0) return Ends(code, error);
    }
    *position = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | newLow);
    return Ends(0, error);
}
