// An open platform file or folder handle owned by a scope.
#pragma once

#include "platform/platform.h"

// Closes on scope exit.
struct FileHandle {
    PlatFile file = PLAT_INVALID_HANDLE;
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { Close(); }
    bool Valid() const { return file != PLAT_INVALID_HANDLE && file != nullptr; }
    void Close() {
        if (Valid()) PlatCloseHandle(file);
        file = PLAT_INVALID_HANDLE;
    }
};
