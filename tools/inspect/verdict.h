// The verdict: how a refusal is recorded, and the runtime library judged as
// the launcher's stages 14 and 15 would judge it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/host_image.h"
#include "base/outcome.h"
#include "tools/inspect/inspect.h"

// Records the launcher's end at stage with message (empty: none), exit code and the packager's why.
void Refuse(InspectReport* report, const Ending& ending, const std::string& why);

// Starting an executable of WINDOWS_START_LIMIT bytes or more fails with
// ERROR_BAD_EXE_FORMAT ("not a valid Win32 application").
constexpr uint32_t WINDOWS_START_ERROR = 193;

// Records that Windows will not start a file of size bytes (WINDOWS_START_LIMIT or more).
void RefuseUnstartable(InspectReport* report, uint64_t size);

// Stages 14 and 15 on the library the installation would leave (installed: its bytes).
void JudgeRuntime(const std::vector<uint8_t>& installed, const InspectOptions& options, InspectReport* report);
