// Between the tool host's output files and their tests: the names temporary
// files and work folders get, and where the random part of those names comes
// from, so that a test can make a draw land on a name that already exists.
#pragma once

#include <cstdint>
#include <string>

// Replaces the draw of the random part of temporary file and work folder
// names; nullptr goes back to the system's random source.
void ToolSetNameDraw(uint64_t (*draw)());
// Makes outputs take a hidden name from the start, as where the file system
// refuses unnamed files (POSIX; Windows names them always); false goes back.
void ToolSetNamedOutputs(bool named);

// ".NAME.vorlane-<pid>-<16 hex digits>.tmp": an output's temporary name beside it.
std::string ToolTemporaryFileName(const std::string& outputName, uint32_t pid, uint64_t random);
// "vorlane-<pid>-<16 hex digits>": a work folder's name in the temporary folder.
std::string ToolWorkFolderName(uint32_t pid, uint64_t random);
// Whether a name is one of those, and the owner's process id; names of other
// forms (an older tool's ".NAME.<hex>.tmp" and "vorlane-<hex>" included) are not.
bool ToolParseTemporaryFileName(const std::string& name, uint32_t* pid);
bool ToolParseWorkFolderName(const std::string& name, uint32_t* pid);
