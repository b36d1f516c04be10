// The operations the launcher needs from the operating system, with Windows
// meaning: Windows error codes, attribute bits, share modes and UTF-16 paths.
// Three backends implement them: platform_win32.cpp for Windows; on Linux
// sim_*.cpp, a Windows file-system simulator the tests run on, and
// plain_posix.cpp, the few operations the shipped Linux tools need over plain
// POSIX calls. Nothing outside platform/ sees the OS.
//
// Windows-named constants are declared only when <windows.h> has not already
// defined them as macros, so the win32 backend may include both in any order.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- handles ---------------------------------------------------------------
using PlatFile = void*;     // an open file
using PlatFind = void*;     // an open folder listing
using PlatModule = void*;   // a module: the launcher's instance or a loaded library

// The all-ones value Windows uses for an invalid file or listing handle.
#define PLAT_INVALID_HANDLE (reinterpret_cast<void*>(~static_cast<uintptr_t>(0)))

// ---- error codes (the values GetLastError reports) -------------------------
#ifndef ERROR_SUCCESS
constexpr uint32_t ERROR_SUCCESS = 0;
#endif
#ifndef ERROR_FILE_EXISTS
constexpr uint32_t ERROR_FILE_EXISTS = 80;
#endif
#ifndef ERROR_FILE_NOT_FOUND
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
#endif
#ifndef ERROR_PATH_NOT_FOUND
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
#endif
#ifndef ERROR_ACCESS_DENIED
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
#endif
#ifndef ERROR_INVALID_HANDLE
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
#endif
#ifndef ERROR_NO_MORE_FILES
constexpr uint32_t ERROR_NO_MORE_FILES = 18;
#endif
#ifndef ERROR_WRITE_FAULT
constexpr uint32_t ERROR_WRITE_FAULT = 29;
#endif
#ifndef ERROR_READ_FAULT
constexpr uint32_t ERROR_READ_FAULT = 30;
#endif
#ifndef ERROR_SHARING_VIOLATION
constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
#endif
#ifndef ERROR_INVALID_PARAMETER
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
#endif
#ifndef ERROR_DISK_FULL
constexpr uint32_t ERROR_DISK_FULL = 112;
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
#endif
#ifndef ERROR_MOD_NOT_FOUND
constexpr uint32_t ERROR_MOD_NOT_FOUND = 126;
#endif
#ifndef ERROR_PROC_NOT_FOUND
constexpr uint32_t ERROR_PROC_NOT_FOUND = 127;
#endif
#ifndef ERROR_DIR_NOT_EMPTY
constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
#endif
#ifndef ERROR_ALREADY_EXISTS
constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
#endif
#ifndef ERROR_BAD_EXE_FORMAT
constexpr uint32_t ERROR_BAD_EXE_FORMAT = 193;
#endif
#ifndef ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
#endif
#ifndef ERROR_DIRECTORY
constexpr uint32_t ERROR_DIRECTORY = 267;
#endif
#ifndef ERROR_REPARSE_POINT_ENCOUNTERED
constexpr uint32_t ERROR_REPARSE_POINT_ENCOUNTERED = 4395;
#endif

// ---- file attributes ---------------------------------------------------------
#ifndef FILE_ATTRIBUTE_READONLY
constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
#endif
#ifndef FILE_ATTRIBUTE_HIDDEN
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
#endif
#ifndef FILE_ATTRIBUTE_SYSTEM
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
#endif
#ifndef FILE_ATTRIBUTE_DIRECTORY
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
#endif
#ifndef FILE_ATTRIBUTE_ARCHIVE
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
#endif
#ifndef FILE_ATTRIBUTE_REPARSE_POINT
constexpr uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
#endif
#ifndef INVALID_FILE_ATTRIBUTES
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
#endif

// ---- CreateFile parameters ---------------------------------------------------
#ifndef GENERIC_READ
constexpr uint32_t GENERIC_READ = 0x80000000u;
#endif
#ifndef GENERIC_WRITE
constexpr uint32_t GENERIC_WRITE = 0x40000000u;
#endif
#ifndef FILE_SHARE_READ
constexpr uint32_t FILE_SHARE_READ = 0x1;
#endif
#ifndef FILE_SHARE_WRITE
constexpr uint32_t FILE_SHARE_WRITE = 0x2;
#endif
#ifndef FILE_SHARE_DELETE
constexpr uint32_t FILE_SHARE_DELETE = 0x4;
#endif
#ifndef CREATE_ALWAYS
constexpr uint32_t CREATE_ALWAYS = 2;
#endif
#ifndef OPEN_EXISTING
constexpr uint32_t OPEN_EXISTING = 3;
#endif
#ifndef OPEN_ALWAYS
constexpr uint32_t OPEN_ALWAYS = 4;
#endif
#ifndef CREATE_NEW
constexpr uint32_t CREATE_NEW = 1;
#endif
// Specific access rights, for opens that only look at, list or remove an object.
#ifndef FILE_LIST_DIRECTORY
constexpr uint32_t FILE_LIST_DIRECTORY = 0x0001;
#endif
#ifndef FILE_ADD_FILE
constexpr uint32_t FILE_ADD_FILE = 0x0002;
#endif
#ifndef FILE_ADD_SUBDIRECTORY
constexpr uint32_t FILE_ADD_SUBDIRECTORY = 0x0004;
#endif
#ifndef FILE_DELETE_CHILD
constexpr uint32_t FILE_DELETE_CHILD = 0x0040;
#endif
#ifndef FILE_TRAVERSE
constexpr uint32_t FILE_TRAVERSE = 0x0020;
#endif
#ifndef FILE_READ_ATTRIBUTES
constexpr uint32_t FILE_READ_ATTRIBUTES = 0x0080;
#endif
#ifndef FILE_WRITE_ATTRIBUTES
constexpr uint32_t FILE_WRITE_ATTRIBUTES = 0x0100;
#endif
#ifndef DELETE
constexpr uint32_t DELETE = 0x00010000;
#endif
#ifndef SYNCHRONIZE
constexpr uint32_t SYNCHRONIZE = 0x00100000;
#endif
// Flags of CreateFileW's last-but-one parameter, next to the attributes.
#ifndef FILE_FLAG_BACKUP_SEMANTICS
constexpr uint32_t FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;  // folders can be opened
#endif
#ifndef FILE_FLAG_OPEN_REPARSE_POINT
constexpr uint32_t FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;  // a link is opened itself, never followed
#endif

// ---- SetFilePointer ------------------------------------------------------------
#ifndef FILE_BEGIN
constexpr uint32_t FILE_BEGIN = 0;
#endif
#ifndef FILE_CURRENT
constexpr uint32_t FILE_CURRENT = 1;
#endif
#ifndef FILE_END
constexpr uint32_t FILE_END = 2;
#endif
#ifndef INVALID_SET_FILE_POINTER
constexpr uint32_t INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
#endif

// ---- libraries -------------------------------------------------------------------
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr uint32_t LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x00000800;
#endif

// ---- message box -----------------------------------------------------------------
#ifndef MB_ICONERROR
constexpr uint32_t MB_ICONERROR = 0x00000010;
#endif
#ifndef MB_SERVICE_NOTIFICATION
constexpr uint32_t MB_SERVICE_NOTIFICATION = 0x00200000;  // shown by the system, nothing loaded in the process
#endif

// ---- shell folders -----------------------------------------------------------------
#ifndef CSIDL_LOCAL_APPDATA
constexpr int CSIDL_LOCAL_APPDATA = 28;
#endif

// ---- trust check results (HRESULTs of the platform's trust services) ------------
constexpr uint32_t PLAT_TRUST_OK = 0;
constexpr uint32_t PLAT_TRUST_NOSIGNATURE = 0x800B0100u;         // TRUST_E_NOSIGNATURE
constexpr uint32_t PLAT_TRUST_BAD_DIGEST = 0x80096010u;          // TRUST_E_BAD_DIGEST
constexpr uint32_t PLAT_TRUST_UNTRUSTED_ROOT = 0x800B0109u;      // CERT_E_UNTRUSTEDROOT
constexpr uint32_t PLAT_TRUST_SUBJECT_FORM = 0x800B0003u;        // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr uint32_t PLAT_TRUST_REVOKED = 0x800B010Cu;             // CERT_E_REVOKED
constexpr uint32_t PLAT_TRUST_CRYPT_REVOKED = 0x80092010u;       // CRYPT_E_REVOKED
constexpr uint32_t PLAT_TRUST_REVOCATION_FAILURE = 0x800B010Eu;  // CERT_E_REVOCATION_FAILURE
constexpr uint32_t PLAT_TRUST_NO_REVOCATION_CHECK = 0x80092012u; // CRYPT_E_NO_REVOCATION_CHECK
constexpr uint32_t PLAT_TRUST_REVOCATION_OFFLINE = 0x80092013u;  // CRYPT_E_REVOCATION_OFFLINE

// Error bits of a certificate chain (CERT_TRUST_STATUS.dwErrorStatus) that only
// say its revocation could not be looked up.
constexpr uint32_t PLAT_CHAIN_REVOCATION_UNKNOWN = 0x00000040u;  // CERT_TRUST_REVOCATION_STATUS_UNKNOWN
constexpr uint32_t PLAT_CHAIN_OFFLINE_REVOCATION = 0x01000000u;  // CERT_TRUST_IS_OFFLINE_REVOCATION

// Capacity of a signer display name returned by PlatVerifyTrust.
constexpr size_t PLAT_SIGNER_CAPACITY = 256;
// The longest digest an Authenticode signature names (SHA-512).
constexpr size_t PLAT_DIGEST_CAPACITY = 64;

// The hash algorithm of an Authenticode digest.
enum class PlatDigestKind : uint32_t { None, Sha1, Sha256, Sha384, Sha512 };

// What the trust services said of one file.
struct PlatTrustAnswer {
    uint32_t result;                        // WinVerifyTrust's HRESULT, PLAT_TRUST_OK when trusted
    uint32_t chainErrors;                   // dwErrorStatus of the signer's chain; 0 when unknown
    char16_t signer[PLAT_SIGNER_CAPACITY];  // simple display name; empty when unknown or too long
    size_t signerLength;                    // its length in characters, a NUL inside it counted
    bool codeSigning;                       // the signer's certificate names code signing among its uses
    PlatDigestKind digestKind;              // the signed Authenticode digest, which the file was found to match
    uint32_t digestSize;
    uint8_t digest[PLAT_DIGEST_CAPACITY];
};

// A file's identity: the same values for two handles of the same file.
struct PlatFileId {
    uint64_t volume;  // volume serial number
    uint8_t id[16];   // file id (a 64-bit file index fills the first 8 bytes)
};

// The largest name a folder listing delivers (MAX_PATH).
constexpr size_t PLAT_FIND_NAME_CAPACITY = 260;

struct PlatFindData {
    uint32_t attributes;                        // dwFileAttributes
    char16_t name[PLAT_FIND_NAME_CAPACITY];     // cFileName, NUL-terminated
};

// ---- the operations ----------------------------------------------------------------
// Every operation that fails leaves its reason for PlatGetLastError, as on Windows.

uint32_t PlatGetLastError();
void PlatSetLastError(uint32_t code);

// Heap memory for everything the launcher allocates (C heap on every backend).
void* PlatHeapAlloc(size_t size);
void PlatHeapFree(void* block);

// Start-up. SetDefaultDllDirectories, looked up at run time: false with
// ERROR_PROC_NOT_FOUND where the system lacks it (and the LOAD_LIBRARY_SEARCH_* flags).
bool PlatSetDefaultDllDirectories(uint32_t flags);
// InitCommonControls from comctl32.dll, loaded with LOAD_LIBRARY_SEARCH_SYSTEM32
// (the manifest's version 6 applies): never imported, so nothing is mapped
// before the launcher's own checks have run.
void PlatInitCommonControls();
// GetCurrentProcessId.
uint32_t PlatGetCurrentProcessId();
// Sleep: the thread waits the given time.
void PlatSleep(uint32_t milliseconds);
// GetModuleFileNameW(NULL, ...): characters copied, 0 on failure; capacity when truncated.
uint32_t PlatGetModuleFileName(char16_t* buffer, uint32_t capacity);

// Files. flagsAndAttributes: FILE_ATTRIBUTE_* for a new file, and
// FILE_FLAG_BACKUP_SEMANTICS / FILE_FLAG_OPEN_REPARSE_POINT.
PlatFile PlatCreateFile(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                        uint32_t flagsAndAttributes);
// NtCreateFile with the open folder as RootDirectory: CreateFileW's meaning for
// one name (no separators) inside that folder, which is never looked up again.
PlatFile PlatCreateFileAt(PlatFile folder, const char16_t* name, uint32_t access, uint32_t share,
                          uint32_t disposition, uint32_t flagsAndAttributes);
bool PlatReadFile(PlatFile file, void* buffer, uint32_t size, uint32_t* read);
bool PlatWriteFile(PlatFile file, const void* buffer, uint32_t size, uint32_t* written);
// SetFilePointer: returns the new position's low half and writes its high half back;
// INVALID_SET_FILE_POINTER with a non-zero last error on failure.
uint32_t PlatSetFilePointer(PlatFile file, int32_t distanceLow, int32_t* distanceHigh, uint32_t method);
bool PlatGetFileSizeEx(PlatFile file, uint64_t* size);
bool PlatCloseHandle(PlatFile file);
// SetEndOfFile: the file ends at the handle's position.
bool PlatSetEndOfFile(PlatFile file);
// GetFileInformationByHandleEx(FileAttributeTagInfo): the attribute bits of what
// the handle holds (a link: FILE_ATTRIBUTE_REPARSE_POINT, and the folder bit
// for a folder link).
bool PlatGetHandleAttributes(PlatFile file, uint32_t* attributes);
// SetFileInformationByHandle(FileBasicInfo), times unchanged: sets the
// attributes (FILE_ATTRIBUTE_NORMAL clears read-only, hidden and system).
bool PlatSetHandleAttributes(PlatFile file, uint32_t attributes);
// SetFileInformationByHandle(FileDispositionInfoEx: delete, POSIX semantics,
// ignore read-only) or, where the system lacks it, FileDispositionInfo: the
// object the handle holds (a link itself, never its target) is deleted when
// the handle closes. The handle needs DELETE access; a folder must be empty.
bool PlatDeleteByHandle(PlatFile file);
// GetFileInformationByHandleEx(FileIdInfo), or GetFileInformationByHandle where
// that is not supported: the volume and file id of an open file.
bool PlatGetFileId(PlatFile file, PlatFileId* id);
// GetFileInformationByHandleEx(FileStandardInfo): how many names (hard links) the file has.
bool PlatGetLinkCount(PlatFile file, uint32_t* links);
// NtSetInformationFile(FileRenameInformationEx: replace if exists, POSIX
// semantics, ignore read-only; else FileRenameInformation with ReplaceIfExists):
// the file the handle holds gets name inside the open folder, replacing what
// stood there. The handle needs DELETE access.
bool PlatRenameByHandle(PlatFile file, PlatFile folder, const char16_t* name);
// GetFinalPathNameByHandleW(FILE_NAME_NORMALIZED | VOLUME_NAME_DOS): the path
// the system resolves the open file to, links resolved, in "\\?\" form.
// Characters written (terminator not counted); 0 on failure or when it does not fit.
uint32_t PlatGetFinalPath(PlatFile file, char16_t* buffer, uint32_t capacity);

// Paths and folders. Attributes describe the object itself: a link is reported
// as a link (FILE_ATTRIBUTE_REPARSE_POINT), never followed.
uint32_t PlatGetFileAttributes(const char16_t* path);
bool PlatCreateDirectory(const char16_t* path);
// Lists an open folder handle (GetFileInformationByHandleEx with
// FileIdBothDirectoryRestartInfo, then FileIdBothDirectoryInfo): every entry,
// "." and ".." included, with its name and attribute bits; the folder is never
// looked up by name again. One listing per folder handle at a time; deleting
// entries while listing is allowed. PLAT_INVALID_HANDLE on failure.
PlatFind PlatFindFirstFileAt(PlatFile folder, PlatFindData* data);
bool PlatFindNextFile(PlatFind find, PlatFindData* data);
bool PlatFindClose(PlatFind find);

// NtCreateFile(FILE_OPEN_IF, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT)
// with the open folder parent as RootDirectory: opens the folder name inside
// it, creating it when missing (*created tells which). A link standing there
// is opened itself, never followed; a file there fails with ERROR_DIRECTORY.
PlatFile PlatCreateFolderAt(PlatFile parent, const char16_t* name, uint32_t access, uint32_t share, bool* created);

// SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, buffer): 0 on success, negative on failure.
// The buffer holds at least capacity characters.
int32_t PlatGetLocalAppDataFolder(char16_t* buffer, size_t capacity);

// Libraries.
PlatModule PlatLoadLibraryEx(const char16_t* path, uint32_t flags);
// The file the loader mapped for module: K32GetMappedFileNameW's name for its
// image (the first opener's name for the file, in NT form) opened with
// CreateFileW("\\?\GLOBALROOT" + name), FILE_READ_ATTRIBUTES only, all
// sharing, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS: a link
// there is opened itself, never followed. PLAT_INVALID_HANDLE on failure.
PlatFile PlatOpenMappedFile(PlatModule module);
void* PlatGetProcAddress(PlatModule module, const char* name);
bool PlatFreeLibrary(PlatModule module);

// Command line.
const char16_t* PlatGetCommandLine();
// CommandLineToArgvW: the array is released with PlatLocalFree. Null on failure.
char16_t** PlatCommandLineToArgv(const char16_t* commandLine, int* count);
void PlatLocalFree(void* block);

// User interface and resources.
int PlatMessageBox(const char16_t* text, const char16_t* caption, uint32_t style);
// LoadStringW into a buffer of capacity characters: the count copied, 0 when missing.
int PlatLoadString(PlatModule instance, uint32_t id, char16_t* buffer, int capacity);

// The trust services (wintrust.dll, crypt32.dll), loaded with LoadLibraryExW
// from the system directory only and their functions looked up, once per
// process. False on failure (last error: LoadLibraryExW's, or
// ERROR_PROC_NOT_FOUND for a function missing), as the calls it makes.
bool PlatLoadTrustServices();
// WinVerifyTrust over the open file (path names it): the generic Authenticode
// policy, no UI, revocation of the whole chain but the root looked up in the
// local cache only; then the signer's simple display name (CertGetNameStringW)
// and its chain's error bits, written whenever a signature could be read, even
// when its chain is refused; whether the signer's certificate carries the
// code-signing usage (CertGetEnhancedKeyUsage, extension only: a certificate
// without the extension does not); and the signed digest with its algorithm
// (psIndirectData of the provider data). Needs PlatLoadTrustServices to have succeeded.
void PlatVerifyTrust(PlatFile file, const char16_t* path, PlatTrustAnswer* answer);
