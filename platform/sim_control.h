// Controls of the Windows file-system simulator (sim_*.cpp), for native tests,
// the tools' tests and benchmarks: what Windows would supply (module path,
// local app data folder, command line, string table, trust answer), what the
// user would see (message boxes), and fault injection. The simulator is a test
// double, not a backend to ship: the Linux tools ship on the plain layer
// (plain_posix.cpp). Only Linux test code includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_common.h"  // the path and text conversions the tests use

// Every platform operation, for call counting and fault injection.
enum class PlatOp : int {
    HeapAlloc,
    SetDefaultDllDirectories,
    GetModuleFileName,
    CreateFile,
    CreateFileAt,
    ReadFile,
    WriteFile,
    SetFilePointer,
    GetFileSizeEx,
    CloseHandle,
    SetEndOfFile,
    GetHandleAttributes,
    SetHandleAttributes,
    DeleteByHandle,
    GetFileAttributes,
    CreateDirectory,
    FindFirstFileAt,
    FindNextFile,
    FindClose,
    GetLocalAppDataFolder,
    LoadLibraryEx,
    GetProcAddress,
    FreeLibrary,
    CommandLineToArgv,
    MessageBox,
    LoadString,
    VerifyTrust,
    GetFileId,
    LoadTrustServices,
    CreateFolderAt,
    GetLinkCount,
    RenameByHandle,
    GetFinalPath,
    OpenMappedFile,
    Sleep,
    Count
};
const char* PlatOpName(PlatOp op);

// What an operation does when the fault hook speaks.
struct FaultAction {
    enum Kind { Pass, Fail, Short } kind = Pass;
    uint32_t error = 0;       // Fail: the last error the call leaves
    uint32_t shortBytes = 0;  // Short (ReadFile, WriteFile): at most this many bytes, reported as success;
                              // (Sleep): waits at most this many milliseconds. Fail skips a Sleep's wait.
};
// Called before every operation with its path (for handle operations, the path
// the handle was opened with; null where there is none).
using FaultHook = FaultAction (*)(PlatOp op, const char16_t* path, void* context);
void PosixSetFaultHook(FaultHook hook, void* context);

// Calls made per operation since the last reset.
uint64_t PosixCallCount(PlatOp op);
// Milliseconds asked of PlatSleep since the last reset, however long it really waited.
uint64_t PosixSleepRequested();
void PosixResetCallCounts();  // resets both

// What the backend answers in place of Windows.
void PosixSetModulePath(const char16_t* path);                // GetModuleFileName
void PosixSetLocalAppData(const char16_t* path, int32_t result = 0);  // SHGetFolderPath
// Another process has the file at path mapped as an image: a later load of
// that file reports path as its mapped file name, as Windows keeps one image
// per file, named by its first opener. False when nothing is there.
bool PosixShareImage(const char16_t* path);
void PosixSetCommandLine(const char16_t* commandLine);        // GetCommandLine
void PosixSetString(uint32_t id, const char16_t* value);      // null removes the string
void PosixClearStrings();
// VerifyTrust's answer: the result, the signer's name (it may hold a NUL) and
// the chain's error bits.
void PosixSetTrust(uint32_t result, const std::u16string& signer, uint32_t chainErrors = 0);
// Whether the signer's certificate names code signing among its uses (default: it does).
void PosixSetCodeSigning(bool named);
// The signed digest VerifyTrust reports for a file: here, standing in for the
// Authenticode digest of a PE image, the SHA-256 of the whole file.
std::vector<uint8_t> PosixDigestOf(const std::vector<uint8_t>& bytes);
// A SHA-256 digest VerifyTrust reports for every file instead of hashing it
// (the benchmark: hashing is the trust services' work, with or without a pin);
// empty restores the default.
void PosixSetTrustDigest(const std::vector<uint8_t>& digest);

// Message boxes shown since the last clear.
struct PosixMessageBox {
    std::u16string text;
    std::u16string caption;
    uint32_t style;
};
const std::vector<PosixMessageBox>& PosixMessageBoxes();
void PosixClearMessageBoxes();

// Open file handles, listings and loaded libraries: leak checks.
size_t PosixOpenHandleCount();
// Heap blocks allocated with PlatHeapAlloc and not yet freed.
size_t PosixLiveHeapBlocks();
// Argument arrays from PlatCommandLineToArgv not yet released with PlatLocalFree.
size_t PosixLiveLocalBlocks();

// Resets every control above to its default (no faults, empty strings, trust OK).
void PosixResetControls();
