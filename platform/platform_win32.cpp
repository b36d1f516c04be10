// The platform operations over Win32: each one is the call it is named after.
// char16_t and wchar_t are the same UTF-16 units on Windows; the casts between
// them stay inside this file.
#include "platform/platform.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include <shlobj.h>
#include <winternl.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");
static_assert(sizeof(HANDLE) == sizeof(PlatFile), "handles must fit");

namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// A listing read through a folder handle, one batch of the system's records at
// a time. The buffer fits at least one record with the longest name.
struct Listing {
    HANDLE folder;
    DWORD next;    // offset of the next record in the batch
    bool pending;  // the batch holds records not yet delivered
    alignas(8) BYTE batch[1024];
};
static_assert(sizeof(FILE_ID_BOTH_DIR_INFO) + 255 * sizeof(wchar_t) <= sizeof(Listing::batch),
              "a batch must hold one record of the longest name");

// The next record, reading a new batch when the last one is used up.
bool NextRecord(Listing* listing, bool restart, PlatFindData* data) {
    if (!listing->pending) {
        const FILE_INFO_BY_HANDLE_CLASS kind = restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
        if (GetFileInformationByHandleEx(listing->folder, kind, listing->batch, sizeof(listing->batch)) == FALSE) {
            return false;  // ERROR_NO_MORE_FILES at the end
        }
        listing->next = 0;
        listing->pending = true;
    }
    const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing->batch + listing->next);
    data->attributes = record->FileAttributes;
    size_t length = record->FileNameLength / sizeof(wchar_t);
    if (length > PLAT_FIND_NAME_CAPACITY - 1) length = PLAT_FIND_NAME_CAPACITY - 1;
    for (size_t i = 0; i < length; ++i) data->name[i] = static_cast<char16_t>(record->FileName[i]);
    data->name[length] = u'\0';
    if (record->NextEntryOffset == 0) {
        listing->pending = false;
    } else {
        listing->next += record->NextEntryOffset;
    }
    return true;
}

}  // namespace

uint32_t PlatGetLastError() { return GetLastError(); }
void PlatSetLastError(uint32_t code) { SetLastError(code); }

void* PlatHeapAlloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void PlatHeapFree(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// Looked up at run time: Vista and an unpatched Windows 7 lack the call, and a
// static import would keep the launcher from starting there at all.
bool PlatSetDefaultDllDirectories(uint32_t flags) {
    using SetDirsFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (proc == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    SetDirsFn setDirs = nullptr;
    static_assert(sizeof(setDirs) == sizeof(proc), "function pointers differ in size");
    memcpy(&setDirs, &proc, sizeof(proc));
    return setDirs(flags) != FALSE;
}

void PlatInitCommonControls() {
    HMODULE controls = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    FARPROC proc = controls != nullptr ? GetProcAddress(controls, "InitCommonControls") : nullptr;
    if (proc == nullptr) return;  // the boxes still show, without the newer look
    void (WINAPI * init)() = nullptr;
    static_assert(sizeof(init) == sizeof(proc), "function pointers differ in size");
    memcpy(&init, &proc, sizeof(proc));
    init();  // the library stays loaded for the boxes
}

uint32_t PlatGetCurrentProcessId() { return GetCurrentProcessId(); }

void PlatSleep(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t PlatGetModuleFileName(char16_t* buffer, uint32_t capacity) {
    return GetModuleFileNameW(nullptr, Wide(buffer), capacity);
}

PlatFile PlatCreateFile(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                        uint32_t flagsAndAttributes) {
    return CreateFileW(Wide(path), access, share, nullptr, disposition, flagsAndAttributes, nullptr);
}

namespace {

// ntdll is in every process; its functions are looked up, never imported.
template <typename Fn>
Fn NtFunction(const char* name) {
    static HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC proc = ntdll != nullptr ? GetProcAddress(ntdll, name) : nullptr;
    Fn fn = nullptr;
    static_assert(sizeof(fn) == sizeof(proc), "function pointers differ in size");
    memcpy(&fn, &proc, sizeof(proc));
    return fn;
}

// CreateFileW's dispositions as NtCreateFile's.
ULONG NtDisposition(uint32_t disposition) {
    switch (disposition) {
        case CREATE_NEW: return 2;         // FILE_CREATE
        case CREATE_ALWAYS: return 5;      // FILE_OVERWRITE_IF
        case OPEN_EXISTING: return 1;      // FILE_OPEN
        case OPEN_ALWAYS: return 3;        // FILE_OPEN_IF
        case TRUNCATE_EXISTING: return 4;  // FILE_OVERWRITE
        default: return 0xFFFFFFFFu;
    }
}

}  // namespace

namespace {

// NtCreateFile for one name inside the open folder, which is never looked up
// again: the meaning of CreateFileW for that name, given in NT terms.
HANDLE OpenRelative(PlatFile folder, const char16_t* name, uint32_t access, uint32_t share, ULONG ntDisposition,
                    ULONG options, uint32_t attributes, ULONG_PTR* information) {
    using NtCreateFileFn = decltype(&NtCreateFile);
    using ToDosErrorFn = decltype(&RtlNtStatusToDosError);
    static NtCreateFileFn create = NtFunction<NtCreateFileFn>("NtCreateFile");
    static ToDosErrorFn toDosError = NtFunction<ToDosErrorFn>("RtlNtStatusToDosError");
    size_t length = 0;
    while (name != nullptr && name[length] != u'\0') ++length;
    if (create == nullptr || toDosError == nullptr || length == 0 || length > 32767 || ntDisposition == 0xFFFFFFFFu) {
        SetLastError(create == nullptr ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING relative;
    relative.Buffer = const_cast<wchar_t*>(Wide(name));
    relative.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    relative.MaximumLength = relative.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &relative, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io;
    ZeroMemory(&io, sizeof(io));
    HANDLE opened = INVALID_HANDLE_VALUE;
    const NTSTATUS status = create(&opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &object, &io, nullptr,
                                   attributes, share, ntDisposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        SetLastError(toDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    *information = io.Information;
    return opened;
}

}  // namespace

PlatFile PlatCreateFileAt(PlatFile folder, const char16_t* name, uint32_t access, uint32_t share,
                          uint32_t disposition, uint32_t flagsAndAttributes) {
    // What CreateFileW adds on its way down: a file unless backup semantics allow a folder.
    ULONG options = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0 ? FILE_OPEN_FOR_BACKUP_INTENT
                                                                          : FILE_NON_DIRECTORY_FILE;
    if ((flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0) options |= FILE_OPEN_REPARSE_POINT;
    ULONG_PTR information = 0;
    HANDLE opened = OpenRelative(folder, name, access, share, NtDisposition(disposition), options,
                                 flagsAndAttributes & 0xFFFFu, &information);
    if (opened == INVALID_HANDLE_VALUE) {
        // The name collision maps to ERROR_ALREADY_EXISTS; CreateFileW says ERROR_FILE_EXISTS.
        if (disposition == CREATE_NEW && GetLastError() == ERROR_ALREADY_EXISTS) SetLastError(ERROR_FILE_EXISTS);
        return opened;
    }
    SetLastError(information == FILE_OPENED && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return opened;
}

PlatFile PlatCreateFolderAt(PlatFile parent, const char16_t* name, uint32_t access, uint32_t share, bool* created) {
    constexpr ULONG OPEN_IF = 3;  // FILE_OPEN_IF
    ULONG_PTR information = 0;
    HANDLE opened = OpenRelative(parent, name, access, share, OPEN_IF,
                                 FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT,
                                 FILE_ATTRIBUTE_NORMAL, &information);
    *created = opened != INVALID_HANDLE_VALUE && information == FILE_CREATED;
    if (opened != INVALID_HANDLE_VALUE) SetLastError(ERROR_SUCCESS);
    return opened;
}

bool PlatReadFile(PlatFile file, void* buffer, uint32_t size, uint32_t* read) {
    DWORD done = 0;
    const BOOL ok = ReadFile(file, buffer, size, &done, nullptr);
    if (read != nullptr) *read = done;
    return ok != FALSE;
}

bool PlatWriteFile(PlatFile file, const void* buffer, uint32_t size, uint32_t* written) {
    DWORD done = 0;
    const BOOL ok = WriteFile(file, buffer, size, &done, nullptr);
    if (written != nullptr) *written = done;
    return ok != FALSE;
}

uint32_t PlatSetFilePointer(PlatFile file, int32_t distanceLow, int32_t* distanceHigh, uint32_t method) {
    LONG high = distanceHigh != nullptr ? *distanceHigh : 0;
    const DWORD low = SetFilePointer(file, distanceLow, distanceHigh != nullptr ? &high : nullptr, method);
    if (distanceHigh != nullptr) *distanceHigh = high;
    return low;
}

bool PlatGetFileSizeEx(PlatFile file, uint64_t* size) {
    LARGE_INTEGER value;
    value.QuadPart = 0;
    const BOOL ok = GetFileSizeEx(file, &value);
    if (size != nullptr) *size = ok != FALSE ? static_cast<uint64_t>(value.QuadPart) : 0;
    return ok != FALSE;
}

bool PlatCloseHandle(PlatFile file) { return CloseHandle(file) != FALSE; }

bool PlatSetEndOfFile(PlatFile file) { return SetEndOfFile(file) != FALSE; }

bool PlatGetFileId(PlatFile file, PlatFileId* id) {
    ZeroMemory(id, sizeof(*id));
    FILE_ID_INFO full;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &full, sizeof(full)) != FALSE) {
        id->volume = full.VolumeSerialNumber;
        static_assert(sizeof(full.FileId) == sizeof(id->id), "128-bit file ids");
        memcpy(id->id, &full.FileId, sizeof(id->id));
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) == FALSE) return false;
    id->volume = info.dwVolumeSerialNumber;
    const uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    memcpy(id->id, &index, sizeof(index));
    return true;
}

bool PlatGetHandleAttributes(PlatFile file, uint32_t* attributes) {
    FILE_ATTRIBUTE_TAG_INFO info;
    if (GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof(info)) == FALSE) return false;
    *attributes = info.FileAttributes;
    return true;
}

bool PlatSetHandleAttributes(PlatFile file, uint32_t attributes) {
    FILE_BASIC_INFO info;
    ZeroMemory(&info, sizeof(info));  // zero times: left as they are
    info.FileAttributes = attributes;
    return SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof(info)) != FALSE;
}

bool PlatDeleteByHandle(PlatFile file) {
    // Windows 10's class and flags, named here: the headers offer them only to
    // builds that require that version, and older systems must still run.
    constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);  // FileDispositionInfoEx
    constexpr DWORD DELETE_FLAG = 0x1;            // FILE_DISPOSITION_FLAG_DELETE
    constexpr DWORD POSIX_SEMANTICS = 0x2;        // FILE_DISPOSITION_FLAG_POSIX_SEMANTICS
    constexpr DWORD IGNORE_READONLY = 0x10;       // FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
    // POSIX semantics: the name goes at once, even while others still hold the file open.
    DWORD flags = DELETE_FLAG | POSIX_SEMANTICS | IGNORE_READONLY;
    if (SetFileInformationByHandle(file, DISPOSITION_INFO_EX, &flags, sizeof(flags)) != FALSE) return true;
    const DWORD error = GetLastError();
    // Older systems and file systems without it; any other answer is the real one.
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
        return false;
    }
    FILE_DISPOSITION_INFO plain;
    plain.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &plain, sizeof(plain)) != FALSE;
}

bool PlatGetLinkCount(PlatFile file, uint32_t* links) {
    FILE_STANDARD_INFO info;
    if (GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof(info)) == FALSE) return false;
    *links = info.NumberOfLinks;
    return true;
}

bool PlatRenameByHandle(PlatFile file, PlatFile folder, const char16_t* name) {
    size_t length = 0;
    while (name != nullptr && name[length] != u'\0') ++length;
    if (length == 0 || length > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Straight to the native call: Wine's SetFileInformationByHandle takes
    // the name as a path of the current folder and drops RootDirectory.
    using SetInformationFn = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, ULONG);
    using ToDosErrorFn = decltype(&RtlNtStatusToDosError);
    static SetInformationFn setInformation = NtFunction<SetInformationFn>("NtSetInformationFile");
    static ToDosErrorFn toDosError = NtFunction<ToDosErrorFn>("RtlNtStatusToDosError");
    if (setInformation == nullptr || toDosError == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    // FILE_RENAME_INFORMATION(_EX): the same layout as FILE_RENAME_INFO, whose
    // first field is Flags in the Ex form (Windows 10) and ReplaceIfExists before.
    constexpr ULONG RENAME_CLASS = 10;     // FileRenameInformation
    constexpr ULONG RENAME_EX_CLASS = 65;  // FileRenameInformationEx
    constexpr DWORD REPLACE = 0x1;           // FILE_RENAME_REPLACE_IF_EXISTS
    constexpr DWORD POSIX_SEMANTICS = 0x2;   // FILE_RENAME_POSIX_SEMANTICS
    constexpr DWORD IGNORE_READONLY = 0x40;  // FILE_RENAME_IGNORE_READONLY_ATTRIBUTE
    alignas(FILE_RENAME_INFO) BYTE buffer[sizeof(FILE_RENAME_INFO) + 256 * sizeof(wchar_t)];
    ZeroMemory(buffer, sizeof(buffer));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    info->RootDirectory = folder;
    info->FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    for (size_t i = 0; i < length; ++i) info->FileName[i] = static_cast<wchar_t>(name[i]);
    const DWORD flags = REPLACE | POSIX_SEMANTICS | IGNORE_READONLY;
    memcpy(buffer, &flags, sizeof(flags));
    const ULONG size = static_cast<ULONG>(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t));
    IO_STATUS_BLOCK io;
    LONG status = setInformation(file, &io, info, size, RENAME_EX_CLASS);
    constexpr LONG INVALID_INFO_CLASS = static_cast<LONG>(0xC0000003L);
    constexpr LONG INVALID_PARAMETER = static_cast<LONG>(0xC000000DL);
    constexpr LONG NOT_IMPLEMENTED = static_cast<LONG>(0xC0000002L);
    constexpr LONG NOT_SUPPORTED = static_cast<LONG>(0xC00000BBL);
    if (status == INVALID_INFO_CLASS || status == INVALID_PARAMETER || status == NOT_IMPLEMENTED ||
        status == NOT_SUPPORTED) {
        const DWORD replace = TRUE;  // ReplaceIfExists, as a BOOLEAN in the first byte
        memcpy(buffer, &replace, sizeof(replace));
        status = setInformation(file, &io, info, size, RENAME_CLASS);
    }
    if (status < 0) {
        SetLastError(toDosError(status));
        return false;
    }
    return true;
}

uint32_t PlatGetFinalPath(PlatFile file, char16_t* buffer, uint32_t capacity) {
    const DWORD length = GetFinalPathNameByHandleW(file, Wide(buffer), capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return 0;
    if (length >= capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return length;
}

uint32_t PlatGetFileAttributes(const char16_t* path) { return GetFileAttributesW(Wide(path)); }

bool PlatCreateDirectory(const char16_t* path) { return CreateDirectoryW(Wide(path), nullptr) != FALSE; }

PlatFind PlatFindFirstFileAt(PlatFile folder, PlatFindData* data) {
    auto* listing = static_cast<Listing*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Listing)));
    if (listing == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    listing->folder = folder;
    listing->next = 0;
    listing->pending = false;
    if (!NextRecord(listing, true, data)) {
        const DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, listing);
        SetLastError(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
        return INVALID_HANDLE_VALUE;
    }
    return listing;
}

bool PlatFindNextFile(PlatFind find, PlatFindData* data) { return NextRecord(static_cast<Listing*>(find), false, data); }

bool PlatFindClose(PlatFind find) { return HeapFree(GetProcessHeap(), 0, find) != FALSE; }

// The call needs MAX_PATH characters; a smaller buffer goes through a local one.
// A result other than S_OK (S_FALSE: the folder is missing) is no usable path.
int32_t PlatGetLocalAppDataFolder(char16_t* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return E_INVALIDARG;
    wchar_t local[MAX_PATH];
    local[0] = L'\0';
    const HRESULT result = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local);
    buffer[0] = u'\0';
    if (result != S_OK) return result < 0 ? result : E_FAIL;
    size_t length = 0;
    while (length < MAX_PATH && local[length] != L'\0') ++length;
    if (length >= capacity) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < length; ++i) buffer[i] = static_cast<char16_t>(local[i]);
    buffer[length] = u'\0';
    return S_OK;
}

PlatModule PlatLoadLibraryEx(const char16_t* path, uint32_t flags) {
    return LoadLibraryExW(Wide(path), nullptr, flags);
}

PlatFile PlatOpenMappedFile(PlatModule module) {
    using MappedNameFn = DWORD(WINAPI*)(HANDLE, LPVOID, LPWSTR, DWORD);
    static MappedNameFn mappedName = [] {
        // In kernel32 since Windows 7; Vista has it in psapi, taken from the system folder only.
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, "K32GetMappedFileNameW") : nullptr;
        if (proc == nullptr) {
            HMODULE psapi = LoadLibraryExW(L"psapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            proc = psapi != nullptr ? GetProcAddress(psapi, "GetMappedFileNameW") : nullptr;
        }
        MappedNameFn fn = nullptr;
        static_assert(sizeof(fn) == sizeof(proc), "function pointers differ in size");
        memcpy(&fn, &proc, sizeof(proc));
        return fn;
    }();
    if (mappedName == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The name comes right behind the prefix that opens an NT name through Win32.
    constexpr wchar_t ROOT[] = L"\\\\?\\GLOBALROOT";
    constexpr DWORD ROOT_LENGTH = sizeof(ROOT) / sizeof(ROOT[0]) - 1;
    constexpr DWORD CAPACITY = 4096;
    wchar_t path[ROOT_LENGTH + CAPACITY];
    memcpy(path, ROOT, ROOT_LENGTH * sizeof(wchar_t));
    wchar_t* name = path + ROOT_LENGTH;
    const DWORD length = mappedName(GetCurrentProcess(), module, name, CAPACITY);
    if (length == 0) return INVALID_HANDLE_VALUE;
    if (length >= CAPACITY - 1) {  // cut: another name
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return INVALID_HANDLE_VALUE;
    }
    name[length] = L'\0';
    // Windows names a device ("\Device\HarddiskVolume3\..."); Wine a drive
    // ("\??\C:\..."), which Wine's CreateFileW opens only as "\\?\C:\...": the same object.
    const wchar_t* open = path;
    if (wcsncmp(name, L"\\??\\", 4) == 0) {
        name[1] = L'\\';
        open = name;
    }
    return CreateFileW(open, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void* PlatGetProcAddress(PlatModule module, const char* name) {
    FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
    void* address = nullptr;
    static_assert(sizeof(address) == sizeof(proc), "function pointers differ in size");
    memcpy(&address, &proc, sizeof(proc));
    return address;
}

bool PlatFreeLibrary(PlatModule module) { return FreeLibrary(static_cast<HMODULE>(module)) != FALSE; }

const char16_t* PlatGetCommandLine() { return reinterpret_cast<const char16_t*>(GetCommandLineW()); }

char16_t** PlatCommandLineToArgv(const char16_t* commandLine, int* count) {
    return reinterpret_cast<char16_t**>(CommandLineToArgvW(Wide(commandLine), count));
}

void PlatLocalFree(void* block) { LocalFree(block); }

int PlatMessageBox(const char16_t* text, const char16_t* caption, uint32_t style) {
    return MessageBoxW(nullptr, Wide(text), Wide(caption), style);
}

int PlatLoadString(PlatModule instance, uint32_t id, char16_t* buffer, int capacity) {
    // A capacity of 0 would ask for a pointer into the resource instead of a copy.
    if (buffer == nullptr || capacity <= 0) return 0;
    return LoadStringW(static_cast<HINSTANCE>(instance), id, Wide(buffer), capacity);
}
