// How the Windows tool host turns arguments into the one command line
// CreateProcessW takes. Pure text, the same on every OS, so the native tests
// check it where Windows cannot run.
#pragma once

#include <string>
#include <vector>

// A program's command line as the Microsoft C runtime splits it back into
// argv: the program name quoted when it holds a space or a tab (its parsing
// knows no escapes), then each argument quoted when it holds a space, a tab, a
// newline or a double quote or is empty, with the backslashes before a quote
// and before the closing quote doubled. False when a text cannot be given
// (a NUL, a quote in the program name).
bool WindowsCommandLine(const std::vector<std::string>& arguments, std::string* line, std::string* why);

// The command line that runs a batch file through cmd.exe (path given):
// /d (no AutoRun), /v:off (no delayed expansion), /s /c, then the batch file
// and every argument each in double quotes, the whole in one more pair. cmd
// reads & | < > ( ) ^ as text inside quotes, but no quoting stops %VAR%
// expansion nor hides a quote: arguments holding '"', '%', or a line break
// are refused rather than passed in a form that could run something else.
bool BatchCommandLine(const std::string& cmd, const std::vector<std::string>& arguments, std::string* line,
                      std::string* why);
