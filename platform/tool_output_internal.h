// Between the tool host's output files and their tests: where the random part
// of a temporary name comes from, so that a test can make a draw land on a
// name that already exists.
#pragma once

#include <cstdint>

// Replaces the draw of the random part of temporary file and work folder
// names; nullptr goes back to the system's random source.
void ToolSetNameDraw(uint64_t (*draw)());
