// The tools' outputs, work folders and interruptions over Win32: see
// host.h.
//
// An output is deleted when its handle closes while it is written (its
// disposition set to delete), so a hard kill then leaves nothing. Before the
// check the disposition is cleared and a read handle takes over the hold: the
// file keeps its hidden name, which a handle of this process keeps open until
// the commit renames it or the discard removes it. A work folder is created
// inside the held temporary folder and held itself, with no delete sharing,
// for its whole life: nobody renames it or swaps it for a link meanwhile, and
// it is removed by that handle, every entry opened relative to its folder
// (tools/host/work_tree.h). ToolRemoveLeftovers takes what a killed tool left
// only when it opens with no sharing at all: while the owner lives, its handle
// refuses that open.
//
// The console runs its control handler on a thread of its own, so the table
// of temporary files and work folders sits behind one lock: a name is
// recorded and its file created under the lock, and the handler sweeps under
// it, so it never sees a file that is not yet recorded nor removes one that
// is not ours. Temporary files are opened with FILE_SHARE_DELETE so that the
// handler can delete them by name while the main thread still holds them:
// they are gone once the last handle closes, which the end of the process
// does for a closed console.
//
// A second Ctrl-C or Ctrl-Break of the same kind ends the process once the
// handler has swept again (it is left to the default handler), as on POSIX.
#include "tools/host/host.h"
#include "tools/host/host_internal.h"
#include "tools/host/output_internal.h"
#include "tools/host/win32_text.h"
#include "tools/host/work_tree.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

constexpr size_t SLOT_COUNT = 32;

struct Slot {
    bool used = false;
    bool folder = false;
    std::string path;
    HANDLE held = nullptr;  // a work folder's own handle, until its removal takes it
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

// Removes a work folder by the handle its slot holds (once: the removal takes it).
void RemoveHeldFolder(Slot* slot) {
    if (slot->held == nullptr) return;
    const std::wstring wide = ToolWide(slot->path);
    RemoveWorkTree(slot->held, reinterpret_cast<const char16_t*>(wide.c_str()));
    slot->held = nullptr;
}

void RemoveSlotTarget(Slot* slot) {
    if (slot->folder) {
        RemoveHeldFolder(slot);
    } else {
        DeleteAnyFile(ToolWidePath(slot->path));  // shared for deletion: gone at the last close
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
    if (slot->held != nullptr) CloseHandle(slot->held);
    slot->held = nullptr;
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
        for (Slot& slot : g_slots) {
            if (slot.used) RemoveSlotTarget(&slot);
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

// Sets or clears the delete-on-close disposition of an open file.
bool SetDeleteOnClose(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

DWORD OwnPid() { return GetCurrentProcessId(); }

// Whether a process of that id runs (or may: one we may not ask about counts).
bool ProcessRuns(uint32_t pid) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
    const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return runs;
}

// A folder held for listing and for opening names inside it; null when it cannot be.
HANDLE OpenFolder(const std::wstring& path) {
    const HANDLE folder = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return folder == INVALID_HANDLE_VALUE ? nullptr : folder;
}

size_t SweepFolder(const std::string& folder, bool work) {
    const std::wstring wide = ToolWidePath(folder);
    const HANDLE held = OpenFolder(wide);
    if (held == nullptr) return 0;
    std::wstring path = wide;
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    const size_t removed = RemoveLeftoversIn(held, reinterpret_cast<const char16_t*>(path.c_str()), work, ProcessRuns);
    CloseHandle(held);
    return removed;
}

}  // namespace

void ToolSetNameDraw(uint64_t (*draw)()) { g_draw = draw; }
void ToolSetNamedOutputs(bool) {}  // named always

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
        const std::string temporary = ToolJoin(folder, ToolTemporaryFileName(name, OwnPid(), DrawRandom()));
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
        output->closed = false;
        // Gone with the handle, however the process ends, until it is written.
        // Where the file system will not, the name is removed as any other.
        output->goesWithHandle = SetDeleteOnClose(file, true);
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

// The write handle gives way to a read handle, opened first so that the
// file is never unheld: readers that share no writing can open it then, and
// it keeps its name, as it is no longer deleted with the handle.
bool ToolCloseOutput(ToolOutput* output, std::string* why) {
    if (output->temporary.empty()) return Fail(why, "no output to finish");
    if (output->closed) return true;
    const HANDLE writing = HandleOf(&output->file);
    if (FlushFileBuffers(writing) == FALSE) {
        return Fail(why, ToolWinReason("cannot flush " + output->final + " to disk", GetLastError()));
    }
    Locked lock;
    if (output->goesWithHandle && !SetDeleteOnClose(writing, false)) {
        return Fail(why, ToolWinReason("cannot keep " + output->final, GetLastError()));
    }
    const HANDLE reading = CreateFileW(ToolWidePath(output->temporary).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reading == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (output->goesWithHandle) SetDeleteOnClose(writing, true);
        return Fail(why, ToolWinReason("cannot reopen " + output->final, error));
    }
    CloseFile(&output->file);
    output->file.handle = reinterpret_cast<intptr_t>(reading);
    output->closed = true;
    output->goesWithHandle = false;
    return true;
}

// Any failure discards the temporary file: a refused commit leaves nothing.
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
    if (output->temporary.empty()) {
        CloseFile(&output->file);
        return;
    }
    // Deleted while still held (shared for deletion), so that nothing else can take it meanwhile.
    DeleteAnyFile(ToolWidePath(output->temporary));
    CloseFile(&output->file);
    ReleaseSlot(FindSlot(output->temporary));
    output->temporary.clear();
}

// ---- work folders ---------------------------------------------------------------

bool ToolMakeWorkFolder(std::string* folder, std::string* why) {
    std::string temp;
    if (!ToolTemporaryFolder(&temp, why)) return false;
    const HANDLE parent = OpenFolder(ToolWidePath(temp));
    if (parent == nullptr) return Fail(why, ToolWinReason("cannot open the temporary folder " + temp, GetLastError()));
    Locked lock;
    std::string failure;
    for (int attempt = 0; attempt < 16 && failure.empty(); ++attempt) {
        if (ToolInterruption() != 0) {
            failure = "interrupted";
            break;
        }
        const std::string name = ToolWorkFolderName(OwnPid(), DrawRandom());
        const std::string path = ToolJoin(temp, name);
        Slot* slot = ClaimSlot(path, true, &failure);
        if (slot == nullptr) break;
        const std::wstring wide = ToolWide(name);
        bool taken = false;
        slot->held = MakeWorkFolderAt(parent, reinterpret_cast<const char16_t*>(wide.c_str()), &taken);
        if (slot->held == nullptr) {
            const DWORD error = GetLastError();
            ReleaseSlot(slot);
            if (taken || Taken(error)) continue;
            failure = ToolWinReason("cannot create a work folder in " + temp, error);
            break;
        }
        CloseHandle(parent);
        *folder = path;
        return true;
    }
    CloseHandle(parent);
    return Fail(why, failure.empty() ? "cannot create a work folder in " + temp + ": every name tried exists"
                                     : failure);
}

void ToolRemoveWorkFolder(const std::string& folder) {
    Locked lock;
    Slot* slot = FindSlot(folder);
    if (slot == nullptr || !slot->folder) return;  // never by name: only a folder this process holds
    RemoveHeldFolder(slot);
    ReleaseSlot(slot);
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

size_t ToolRemoveLeftovers(const std::string& outputFolder) {
    size_t removed = SweepFolder(outputFolder, false);
    std::string temp;
    if (ToolTemporaryFolder(&temp, nullptr)) removed += SweepFolder(temp, true);
    return removed;
}
