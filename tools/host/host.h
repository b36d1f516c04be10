// What the packager's command-line tools need from the OS beyond platform.h:
// their arguments, files by name, an output written under a temporary name
// that an interruption removes, the terminal, the environment, child
// processes, the module path the launcher would see and the machine's own
// trust check. Every tool reaches the OS through this and platform.h only;
// the launcher never links it. Paths and texts are UTF-8 in the OS's own form
// (POSIX paths on Linux, Windows paths on Windows; converted to UTF-16 at the
// Win32 calls by the tools' codec, text.h: a path that is not UTF-8 names
// nothing there). Failures come back as false with a one-line reason in *why,
// in words a packager can act on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// ---- arguments, environment, terminal -------------------------------------------

// The process's arguments as UTF-8 (on Windows from the UTF-16 command line,
// whatever argv holds). The first is the program.
std::vector<std::string> ToolArguments(int argc, char** argv);
// An environment variable; false when it is not set.
bool ToolGetEnv(const char* name, std::string* value);
// Whether standard error is a terminal (progress may then redraw one line).
bool ToolStderrIsTerminal();
// Writes to standard output or standard error, whole, flushed (UTF-8; on a
// Windows console as UTF-16).
void ToolWriteOut(const std::string& text);
void ToolWriteErr(const std::string& text);

// ---- interruption ---------------------------------------------------------------

// From now on SIGINT, SIGTERM and SIGHUP (Ctrl-C, Ctrl-Break and a closed
// console on Windows) no longer end the process: they are recorded, every
// temporary file is removed at once, a running child is stopped, and
// ToolInterruption() reports them. Call once, first thing.
void ToolCatchInterruptions();
// The interruption received so far: 0 for none, else the signal's number
// (SIGINT 2, SIGTERM 15, SIGHUP 1; Windows maps Ctrl-C to 2, Ctrl-Break to 21,
// a closed console to 1). The exit status to end with is 128 + it.
int ToolInterruption();

// ---- files by name --------------------------------------------------------------

// A file open for reading or writing; closed by its destructor.
struct ToolFile {
    intptr_t handle = -1;
    ToolFile() = default;
    ToolFile(const ToolFile&) = delete;
    ToolFile& operator=(const ToolFile&) = delete;
    ~ToolFile();
};

// Opens an existing regular file for reading (links followed: the packager
// names his own inputs); false for a folder or anything else.
bool ToolOpenRead(const std::string& path, ToolFile* file, uint64_t* size, std::string* why);
// Reads up to capacity bytes; *got is 0 at the end.
bool ToolRead(ToolFile* file, uint8_t* buffer, size_t capacity, size_t* got, std::string* why);
// A whole file, for inputs that are small (launcher, runtime library, icon,
// config); refuses one over limit bytes.
bool ToolReadWhole(const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes, std::string* why);

// Whether two paths name the same file (device and file id), so an output
// never overwrites an input whatever spelling or link names it. False when
// either does not exist.
bool ToolSameFile(const std::string& a, const std::string& b);
// Whether a folder exists at path; whether anything does.
bool ToolIsFolder(const std::string& path);
bool ToolExists(const std::string& path);
// The folder part of a path ("." when it has none) and the last part.
std::string ToolFolderOf(const std::string& path);
std::string ToolNameOf(const std::string& path);
// A path joined under a folder with the OS's separator.
std::string ToolJoin(const std::string& folder, const std::string& name);
// Free bytes on the volume holding folder; false when it cannot be asked.
bool ToolFreeSpace(const std::string& folder, uint64_t* bytes);

// ---- the output -----------------------------------------------------------------

// A file written in full in the folder of its final path, created exclusively
// and renamed over the final path in one step at the commit. Until then no
// name of it outlives the process where the system allows it: on Linux it has
// no name at all (O_TMPFILE; temporary is then "/proc/<pid>/fd/<n>", a path
// this process and its children open it by); on Windows it is deleted when
// its handle closes while it is written. Elsewhere, and from the close on
// Windows, it has a hidden name ".NAME.vorlane-<pid>-<random>.tmp" that this
// process holds (a lock on POSIX, an open handle on Windows) until it is
// committed or discarded: an interruption removes it, and once a hard kill has
// ended the process, ToolRemoveLeftovers removes it.
struct ToolOutput {
    ToolFile file;
    std::string temporary;  // a path the file is open by while it exists
    std::string final;
    bool closed = false;    // written in full: ToolCloseOutput was called
    bool goesWithHandle = false;  // removed by the system with its handle: unnamed (Linux), delete on close (Windows)
};
bool ToolCreateOutput(const std::string& finalPath, ToolOutput* output, std::string* why);
bool ToolWrite(ToolOutput* output, const uint8_t* data, size_t size, std::string* why);
// Overwrites bytes already written (the archive's start header, the checksum).
bool ToolWriteAt(ToolOutput* output, uint64_t offset, const uint8_t* data, size_t size, std::string* why);
// Ends the writing: flushes to disk and marks it executable (POSIX); the file
// stays held, open for reading only on Windows, so that a reader that shares
// no writing (the launcher's own open, which the check repeats) can open it
// by temporary.
bool ToolCloseOutput(ToolOutput* output, std::string* why);
// Closes the output if still open (as ToolCloseOutput) and renames it over the
// final path, atomically; refused when an interruption came first.
bool ToolCommitOutput(ToolOutput* output, std::string* why);
// Closes and removes the temporary file (nothing when there is none).
void ToolDiscardOutput(ToolOutput* output);

// A private folder for intermediate files that must have names (a signed copy
// of the runtime, a signer's output), made under the system's temporary folder
// as "vorlane-<pid>-<random>", held by this process (a lock on POSIX; on
// Windows an open handle that shares no deletion, so the folder cannot be
// renamed or swapped for a link) and registered like an output's temporary
// file; ToolRemoveWorkFolder removes it with what it holds, by handle, never
// following a link inside it.
bool ToolMakeWorkFolder(std::string* folder, std::string* why);
void ToolRemoveWorkFolder(const std::string& folder);
// Writes bytes to a new file (exclusive, readable only by the user).
bool ToolWriteNewFile(const std::string& path, const uint8_t* data, size_t size, std::string* why);

// Removes what tools killed outright (out of memory, a cancelled job) left:
// temporary files in outputFolder and work folders in the system's temporary
// folder, recognised by the names above and removed only when their process
// is gone: no process of that id runs and nothing holds them any more (the
// lock is free, no handle is open). What others made, links included, stays.
// Returns how many it removed.
size_t ToolRemoveLeftovers(const std::string& outputFolder);

// ---- child processes ------------------------------------------------------------

// How a child runs, beyond its arguments.
struct ToolRunOptions {
    // Bytes handed to the child through a pipe, never a file: it reads them
    // from ToolSecretName() (descriptor 3 on POSIX, standard input on Windows).
    const std::string* secret = nullptr;
    // Seconds the child may run; past them it is ended with every process it
    // started (its own process group on POSIX, a job object on Windows). 0: no limit.
    uint32_t timeoutSeconds = 0;
};
// Why ToolRunProgram's child did not run to its end (never an exit status).
constexpr int TOOL_RUN_NOT_STARTED = -1;    // not found, or could not be started
constexpr int TOOL_RUN_INTERRUPTED = -2;    // an interruption stopped it with its processes
constexpr int TOOL_RUN_TIMED_OUT = -3;      // still running after the timeout: ended with its processes
constexpr int TOOL_RUN_WANTS_TERMINAL = -4; // stopped to read the terminal (a prompt): ended with its processes

// Runs a program with arguments, no shell in between, standard input empty,
// its standard output and error captured together into *output, and no
// descriptor or handle of this process inherited but those. program is a
// path, or a bare name looked up on PATH (on Windows also with .exe), never
// in the current folder. True when it ran to its end: *status is its exit
// status (128 + the signal's number when a signal ended it). False when it did
// not: *status is one of the TOOL_RUN_ values above and *output ends with the
// reason in words.
bool ToolRunProgram(const std::vector<std::string>& arguments, int* status, std::string* output,
                    const ToolRunOptions& options = ToolRunOptions());
// Where a child reads the secret ToolRunOptions hands it: "/dev/fd/3" on
// POSIX, "-" (standard input) on Windows.
const char* ToolSecretName();
// The path of a program found on PATH; false when there is none.
bool ToolFindProgram(const std::string& name, std::string* path);
// The folder holding this process's executable.
std::string ToolOwnFolder();

// ---- what the launcher would see ------------------------------------------------

// The module path a program started from the file named by argument (UTF-8,
// as the user typed it) would see: absolute, "." and ".." resolved by name,
// links kept as they are. On Windows GetFullPathName's answer; on Linux the
// "Z:\..." form both Linux platform layers read back to the same file. False
// with a reason when no such path can be formed.
bool ModulePathOf(const std::string& argument, std::u16string* path, std::string* why);

// This machine's own trust check over a library that is only bytes so far
// (the runtime inside a package): the image written to a temporary file only
// this process can change, deleted by the system when its handle closes
// however the process ends, and the trust services asked about it as the
// launcher asks about the installed file (PlatVerifyTrust). False when they
// cannot be asked; why says so.
using ToolTrustCheck = bool (*)(const uint8_t* image, size_t size, PlatTrustAnswer* answer, std::string* why);
// That check where the OS has one (Windows), else nullptr.
ToolTrustCheck ToolMachineTrust();
