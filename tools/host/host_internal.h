// Between the tool host's own files: the child process an interruption must
// stop. Not for callers of tool_host.h.
#pragma once

#include <cstdint>

// Records the running child (a pid on POSIX, a process handle on Windows), or
// none with 0; the interruption handler stops the one recorded.
void ToolSetRunningChild(intptr_t child);
