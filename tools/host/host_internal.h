// Between the tool host's own files: the child process an interruption must
// stop, and what both child runners and both output makers share. Not for
// callers of host.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Records the running child (a pid on POSIX, a process handle on Windows), or
// none with 0; the interruption handler stops the one recorded.
void ToolSetRunningChild(intptr_t child);

struct ToolRunOptions;

// The OS's half of ToolRunProgram: runs program, the one found for
// arguments[0], with output already cleared.
bool ToolRunFound(const std::string& program, const std::vector<std::string>& arguments, int* status,
                  std::string* output, const ToolRunOptions& options);
// How a child that was waited for ended: false with the reason when it was
// stopped from here (stop, a TOOL_RUN_ value, or 0), an interruption came,
// or its end is not known; true when it ran to its end.
bool ToolRunEnded(int stop, bool endKnown, const ToolRunOptions& options, int* status, std::string* output);

// Keeps a child's output as it comes: signers print a few lines; a runaway
// one keeps its last megabyte, where its error is.
void ToolKeepOutput(std::string* output, const char* data, size_t size);
// A run that did not come to its end: *status the TOOL_RUN_ value stop, the
// reason after what the child printed; false.
bool ToolRunStopped(const std::string& reason, int* status, std::string* output, int stop = -1);

// The system's temporary folder (work folders go there); false with the reason.
bool ToolTemporaryFolder(std::string* folder, std::string* why);

// A path for the standard library's calls on the file system: on Windows
// UTF-16, in the "\\?\" form when too long for the classic limit.
std::filesystem::path ToolFsPath(const std::string& path);
