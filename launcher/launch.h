// The launch sequence: one straight run of stages from start to exit.
#pragma once

#include "base/outcome.h"
#include "platform/platform.h"

// Runs every stage for the module instance; returns the process exit code.
int RunLauncher(PlatModule instance);
