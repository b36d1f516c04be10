// The launch sequence: one straight run of stages from start to exit.
#pragma once

#include "platform/platform.h"

// Process exit codes. Every failure has a non-zero code; 0 is a normal end.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_MODULE_PATH = -1,        // own path missing or too long; executable cannot be opened
    EXIT_PROBE = -2,              // host image cannot be probed
    EXIT_RUNTIME_DIR = -3,        // runtime folder cannot be prepared; library path does not fit
    EXIT_SEEK = -4,               // positioning at the archive start fails
    EXIT_ARCHIVE_MISSING = 1,     // no archive found; look-ahead buffer not allocated
    EXIT_ARCHIVE_OPEN = 2,        // archive does not open
    EXIT_PAYLOAD = 3,             // payload missing, out of range or damaged
    EXIT_INSTALL = 4,             // installation failed
    EXIT_INTEGRITY = 5,           // the runtime library fails its signature check
    EXIT_RUNTIME_LOAD = 6,        // library does not load, lacks VorlaneInit, or a setting is missing
};

// Runs every stage for the module instance; returns the process exit code.
int RunLauncher(PlatModule instance);
