// The launch sequence: one straight run of stages from start to exit.
#pragma once

#include "platform/platform.h"

// Process exit codes, one name per failure; several share a value.
enum ExitCode : int {
    EXIT_OK = 0,                // normal end (the runtime's own return value is never the exit code)
    EXIT_OWN_PATH = -1,         // own path missing or 2048 characters or longer
    EXIT_EXE_OPEN = -1,         // the executable cannot be opened
    EXIT_PROBE = -2,            // the PE headers cannot be probed
    EXIT_NO_ARCHIVE = 1,        // no valid 7z start header within 4 MiB after the image
    EXIT_ARCHIVE_SEEK = -4,     // positioning at the archive start fails
    EXIT_READER_MEMORY = 1,     // the look-ahead buffer or the checks' read buffer cannot be allocated
    EXIT_ARCHIVE_OPEN = 2,      // the archive does not open
    EXIT_PAYLOAD = 3,           // the payload is missing, out of range or damaged
    EXIT_PAYLOAD_MEMORY = 1,    // an entry name cannot be allocated in the payload scan
    EXIT_RUNTIME_DIR = -3,      // the runtime folder cannot be prepared
    EXIT_LIBRARY_PATH = -3,     // the library path does not fit 2048 characters
    EXIT_INSTALL = 4,           // installation fails (an entry name that cannot be allocated included)
    EXIT_INTEGRITY = 5,         // the library fails its check, or the loader would map or mapped another file
    EXIT_RUNTIME_LOAD = 6,      // the library does not load, or lacks VorlaneInit
    EXIT_SETTING_MISSING = 6,   // setting 4 or 5 is missing from the string table
    EXIT_REDIRECTED = 7,        // "<exe>.local" asks Windows to take libraries from the executable's folder
};

// Runs every stage for the module instance; returns the process exit code.
int RunLauncher(PlatModule instance);
