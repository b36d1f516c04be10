// The tools' outputs, work folders and interruptions over Win32: see
// tool_host.h.
//
// The console runs its control handler on a thread of its own, so the table
// of temporary files and work folders sits behind one lock: a name is
// recorded and its file created under the lock, and the handler sweeps under
// it, so it never sees a file that is not yet recorded nor removes one that
// is not ours. Temporary files are opened with FILE_SHARE_DELETE so that the
// handler can delete them by name while the main thread still writes to them:
// they are gone once the last handle closes, which the end of the process
// does for a closed console.
//
// A second Ctrl-C or Ctrl-Break of the same kind ends the process once the
// handler has swept again (it is left to the default handler), as on POSIX.
#include "platform/tool_host.h"
#include "platform/tool_host_internal.h"
#include "platform/tool_output_internal.h"
#include "platform/tool_text_win32.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

constexpr size_t SLOT_COUNT = 32;

struct Slot {
    bool used = false;
    bool folder = false;
    std::string path;
};

SRWLOCK g_lock = SRWLOCK_INIT;
Slot g_slots[SLOT_COUNT];
volatile LONG g_interruption = 0;
volatile LONG g_seen = 0;  // one bit per interruption code received
volatile LONG_PTR g_child = 0;
uint64_t (*g_draw)() = nullptr;

struct Locked {
    Locked() { AcquireSRWLockExclusive(&g_lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

bool Fail(std::string* why, const std::string& what) {
    if (why != nullptr) *why = what;
    return false;
}

HANDLE HandleOf(const ToolFile* file) { return reinterpret_cast<HANDLE>(file->handle); }
bool IsOpen(const ToolFile* file) { return file->handle != -1 && file->handle != 0; }

void CloseFile(ToolFile* file) {
    if (IsOpen(file)) CloseHandle(HandleOf(file));
    file->handle = -1;
}

// A file, read-only ones included (a signer may leave one).
void DeleteAnyFile(const std::wstring& path) {
    if (DeleteFileW(path.c_str()) != FALSE || GetLastError() != ERROR_ACCESS_DENIED) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

// Removes a folder and what it holds, one level down.
void RemoveFolder(const std::string& folder) {
    const std::wstring wide = ToolWidePath(folder);
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileExW((wide + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                         nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = wide + L"\\" + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveDirectoryW(path.c_str());  // a link goes, never what it points to
            } else {
                DeleteAnyFile(path);
            }
        } while (FindNextFileW(find, &entry) != FALSE);
        FindClose(find);
    }
    RemoveDirectoryW(wide.c_str());
}

void RemoveSlotTarget(const Slot& slot) {
    if (slot.folder) {
        RemoveFolder(slot.path);
    } else {
        DeleteAnyFile(ToolWidePath(slot.path));  // shared for deletion: gone at the last close
    }
}

Slot* FindSlot(const std::string& path) {
    for (Slot& slot : g_slots) {
        if (slot.used && slot.path == path) return &slot;
    }
    return nullptr;
}

Slot* ClaimSlot(const std::string& path, bool folder, std::string* why) {
    for (Slot& slot : g_slots) {
        if (slot.used) continue;
        slot.used = true;
        slot.folder = folder;
        slot.path = path;
        return &slot;
    }
    Fail(why, "too many temporary files at once (" + std::to_string(SLOT_COUNT) + ")");
    return nullptr;
}

void ReleaseSlot(Slot* slot) {
    if (slot == nullptr) return;
    slot->used = false;
    slot->path.clear();
}

// The running child is stopped and given a moment to end, so that the files
// it holds open in a work folder can go too.
void StopChild() {
    const HANDLE child = reinterpret_cast<HANDLE>(InterlockedCompareExchangePointer(
        reinterpret_cast<void* volatile*>(&g_child), nullptr, nullptr));
    if (child == nullptr) return;
    TerminateProcess(child, ERROR_CANCELLED);
    WaitForSingleObject(child, 3000);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    LONG code = 0;
    switch (event) {
        case CTRL_C_EVENT: code = 2; break;
        case CTRL_BREAK_EVENT: code = 21; break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: code = 1; break;
        default: return FALSE;
    }
    const LONG bit = static_cast<LONG>(1u << code);
    const bool again = (InterlockedOr(&g_seen, bit) & bit) != 0;
    StopChild();
    {
        // Recorded under the lock once the sweep is done: whoever sees the
        // interruption finds the temporaries gone, and a commit either
        // finished before or is refused.
        Locked lock;
        for (const Slot& slot : g_slots) {
            if (slot.used) RemoveSlotTarget(slot);
        }
        InterlockedCompareExchange(&g_interruption, code, 0);
    }
    // Returning ends the process for the close events whatever we say; the
    // default handler ends it for a second Ctrl-C or Ctrl-Break.
    return again && code != 1 ? FALSE : TRUE;
}

uint64_t DrawRandom() {
    if (g_draw != nullptr) return g_draw();
    uint64_t value = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof(value), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >=
        0) {
        return value;
    }
    static uint64_t counter = 0;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 40)) +
           ++counter * 0x9E3779B97F4A7C15ull;
}

std::string Hex(uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (size_t i = 16; i-- > 0; value >>= 4) text[i] = digits[value & 15u];
    return text;
}

bool Taken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

bool WriteAll(HANDLE file, const uint8_t* data, size_t size, DWORD* error) {
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const DWORD chunk = left < (1u << 30) ? static_cast<DWORD>(left) : (1u << 30);
        DWORD written = 0;
        if (WriteFile(file, data + done, chunk, &written, nullptr) == FALSE) {
            *error = GetLastError();
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace

void ToolSetNameDraw(uint64_t (*draw)()) { g_draw = draw; }

void ToolSetRunningChild(intptr_t child) {
    InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&g_child), reinterpret_cast<void*>(child));
}

void ToolCatchInterruptions() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int ToolInterruption() { return static_cast<int>(InterlockedCompareExchange(&g_interruption, 0, 0)); }

// ---- the output -----------------------------------------------------------------

bool ToolCreateOutput(const std::string& finalPath, ToolOutput* output, std::string* why) {
    const std::string folder = ToolFolderOf(finalPath);
    const std::string name = ToolNameOf(finalPath);
    if (name.empty() || name == "." || name == "..") return Fail(why, "not a file name: " + finalPath);
    Locked lock;
    if (ToolInterruption() != 0) return Fail(why, "interrupted");
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string temporary = ToolJoin(folder, "." + name + "." + Hex(DrawRandom()) + ".tmp");
        Slot* slot = ClaimSlot(temporary, false, why);
        if (slot == nullptr) return false;
        const HANDLE file = CreateFileW(ToolWidePath(temporary).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            ReleaseSlot(slot);
            if (Taken(error)) continue;
            return Fail(why, ToolWinReason("cannot create a temporary file in " + folder, error));
        }
        CloseFile(&output->file);
        output->file.handle = reinterpret_cast<intptr_t>(file);
        output->temporary = temporary;
        output->final = finalPath;
        return true;
    }
    return Fail(why, "cannot create a temporary file in " + folder + ": every name tried exists");
}

bool ToolWrite(ToolOutput* output, const uint8_t* data, size_t size, std::string* why) {
    DWORD error = 0;
    if (WriteAll(HandleOf(&output->file), data, size, &error)) return true;
    return Fail(why, ToolWinReason("cannot write " + output->final, error));
}

// The file's position is kept: ToolWrite goes on appending where it was.
bool ToolWriteAt(ToolOutput* output, uint64_t offset, const uint8_t* data, size_t size, std::string* why) {
    const HANDLE file = HandleOf(&output->file);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    LARGE_INTEGER current;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD error = 0;
    if (SetFilePointerEx(file, zero, &current, FILE_CURRENT) == FALSE ||
        SetFilePointerEx(file, at, nullptr, FILE_BEGIN) == FALSE) {
        error = GetLastError();
    } else {
        WriteAll(file, data, size, &error);
        if (SetFilePointerEx(file, current, nullptr, FILE_BEGIN) == FALSE && error == 0) error = GetLastError();
    }
    if (error == 0) return true;
    return Fail(why, ToolWinReason("cannot write " + output->final, error));
}

// Any failure discards the temporary file: a refused commit leaves nothing.
bool ToolCloseOutput(ToolOutput* output, std::string* why) {
    if (output->temporary.empty()) return Fail(why, "no output to finish");
    if (!IsOpen(&output->file)) return true;
    std::string failure;
    if (FlushFileBuffers(HandleOf(&output->file)) == FALSE) {
        failure = ToolWinReason("cannot flush " + output->final + " to disk", GetLastError());
    }
    Locked lock;
    CloseFile(&output->file);
    return failure.empty() || Fail(why, failure);
}

bool ToolCommitOutput(ToolOutput* output, std::string* why) {
    if (output->temporary.empty()) return Fail(why, "no output to finish");
    std::string failure;
    if (!ToolCloseOutput(output, &failure) && failure.empty()) failure = "cannot close " + output->final;
    Locked lock;
    if (failure.empty() && ToolInterruption() != 0) failure = "interrupted";
    CloseFile(&output->file);
    const std::wstring temporary = ToolWidePath(output->temporary);
    if (failure.empty() && MoveFileExW(temporary.c_str(), ToolWidePath(output->final).c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
        failure = ToolWinReason("cannot replace " + output->final, GetLastError());
    }
    if (!failure.empty()) DeleteAnyFile(temporary);
    ReleaseSlot(FindSlot(output->temporary));
    output->temporary.clear();
    return failure.empty() || Fail(why, failure);
}

void ToolDiscardOutput(ToolOutput* output) {
    Locked lock;
    CloseFile(&output->file);
    if (output->temporary.empty()) return;
    DeleteAnyFile(ToolWidePath(output->temporary));
    ReleaseSlot(FindSlot(output->temporary));
    output->temporary.clear();
}

// ---- work folders ---------------------------------------------------------------

bool ToolMakeWorkFolder(std::string* folder, std::string* why) {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) {
        return Fail(why, ToolWinReason("cannot find the temporary folder", GetLastError()));
    }
    const std::string temp = ToolUtf8(base, length);
    Locked lock;
    if (ToolInterruption() != 0) return Fail(why, "interrupted");
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string path = ToolJoin(temp, "vorlane-" + Hex(DrawRandom()));
        Slot* slot = ClaimSlot(path, true, why);
        if (slot == nullptr) return false;
        if (CreateDirectoryW(ToolWidePath(path).c_str(), nullptr) == FALSE) {
            const DWORD error = GetLastError();
            ReleaseSlot(slot);
            if (Taken(error)) continue;
            return Fail(why, ToolWinReason("cannot create a work folder in " + temp, error));
        }
        *folder = path;
        return true;
    }
    return Fail(why, "cannot create a work folder in " + temp + ": every name tried exists");
}

void ToolRemoveWorkFolder(const std::string& folder) {
    Locked lock;
    RemoveFolder(folder);
    ReleaseSlot(FindSlot(folder));
}

// Readable only by the user as the work folder it is written in is: the
// user's temporary folder lets no one else in.
bool ToolWriteNewFile(const std::string& path, const uint8_t* data, size_t size, std::string* why) {
    const std::wstring wide = ToolWidePath(path);
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(why, ToolWinReason("cannot create " + path, GetLastError()));
    DWORD error = 0;
    WriteAll(file, data, size, &error);
    if (CloseHandle(file) == FALSE && error == 0) error = GetLastError();
    if (error == 0) return true;
    DeleteFileW(wide.c_str());
    return Fail(why, ToolWinReason("cannot write " + path, error));
}
