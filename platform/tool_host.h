// What the packager's command-line tools need from the OS beyond platform.h:
// their arguments, files by name, an output written under a temporary name
// that an interruption removes, the terminal, the environment and child
// processes. The launcher never links this. Paths and texts are UTF-8 in the
// OS's own form (POSIX paths on Linux, Windows paths on Windows; converted to
// UTF-16 at the Win32 calls). Failures come back as false with a one-line
// reason in *why, in words a packager can act on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// A file written in full under a temporary hidden name in the folder of its
// final path (".NAME.<random>.tmp"), created exclusively, registered so that an
// interruption removes it, then renamed over the final path in one step.
struct ToolOutput {
    ToolFile file;
    std::string temporary;  // the temporary file's path while it exists
    std::string final;
};
bool ToolCreateOutput(const std::string& finalPath, ToolOutput* output, std::string* why);
bool ToolWrite(ToolOutput* output, const uint8_t* data, size_t size, std::string* why);
// Overwrites bytes already written (the archive's start header, the checksum).
bool ToolWriteAt(ToolOutput* output, uint64_t offset, const uint8_t* data, size_t size, std::string* why);
// Flushes to disk, marks it executable (POSIX) and closes it, the temporary
// name still registered: a reader that shares no writing (the launcher's own
// open, which the check repeats) can then open it on Windows.
bool ToolCloseOutput(ToolOutput* output, std::string* why);
// Closes the output if still open (as ToolCloseOutput) and renames it over the
// final path, atomically; refused when an interruption came first.
bool ToolCommitOutput(ToolOutput* output, std::string* why);
// Closes and removes the temporary file (nothing when there is none).
void ToolDiscardOutput(ToolOutput* output);

// A private folder for intermediate files (a signed copy of the runtime, a
// signer's output), made under the system's temporary folder and registered
// like an output's temporary file; ToolRemoveWorkFolder removes it with what it holds.
bool ToolMakeWorkFolder(std::string* folder, std::string* why);
void ToolRemoveWorkFolder(const std::string& folder);
// Writes bytes to a new file (exclusive, readable only by the user).
bool ToolWriteNewFile(const std::string& path, const uint8_t* data, size_t size, std::string* why);

// ---- child processes ------------------------------------------------------------

// Runs a program with arguments, no shell in between, standard input closed,
// its standard output and error captured together into *output. program is a
// path, or a bare name looked up on PATH (on Windows also with .exe).
// Returns its exit status, or -1 when it could not be started (*output says
// why). An interruption stops the child and returns -1.
int ToolRunProgram(const std::vector<std::string>& arguments, std::string* output);
// The path of a program found on PATH; false when there is none.
bool ToolFindProgram(const std::string& name, std::string* path);
// The folder holding this process's executable.
std::string ToolOwnFolder();
