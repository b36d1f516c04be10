// Command lines for CreateProcessW (see tool_command_line.h).
#include "tools/host/command_line.h"

#include <cstddef>

namespace {

bool HasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// One argument in the form CommandLineToArgvW and the C runtime read back
// unchanged.
void AppendQuoted(const std::string& argument, std::string* line) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        *line += argument;
        return;
    }
    *line += '"';
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them: then each
        // stands doubled, and the quote itself gets one more.
        const size_t copies = c == '"' ? backslashes * 2 + 1 : backslashes;
        line->append(copies, '\\');
        backslashes = 0;
        *line += c;
    }
    // The closing quote follows the trailing backslashes: double them.
    line->append(backslashes * 2, '\\');
    *line += '"';
}

}  // namespace

bool WindowsCommandLine(const std::vector<std::string>& arguments, std::string* line, std::string* why) {
    line->clear();
    if (arguments.empty()) {
        *why = "no program to run";
        return false;
    }
    for (const std::string& argument : arguments) {
        if (HasNul(argument)) {
            *why = "an argument holds a NUL character";
            return false;
        }
    }
    const std::string& program = arguments[0];
    if (program.empty() || program.find('"') != std::string::npos) {
        *why = "no program name can be quoted for: " + program;
        return false;
    }
    // The program name ends at the next quote when quoted, else at white space.
    if (program.find_first_of(" \t") != std::string::npos) {
        *line += '"' + program + '"';
    } else {
        *line += program;
    }
    for (size_t i = 1; i < arguments.size(); ++i) {
        *line += ' ';
        AppendQuoted(arguments[i], line);
    }
    return true;
}

bool BatchCommandLine(const std::string& cmd, const std::vector<std::string>& arguments, std::string* line,
                      std::string* why) {
    line->clear();
    if (arguments.empty()) {
        *why = "no batch file to run";
        return false;
    }
    for (const std::string& argument : arguments) {
        const size_t bad = argument.find_first_of(std::string("\"%\r\n\0", 5));
        if (bad != std::string::npos) {
            *why = "a batch file cannot be given this argument safely (it holds a quote, a %, or a line break): " +
                   argument + "; run a program instead of a .cmd or .bat file";
            return false;
        }
    }
    if (cmd.find('"') != std::string::npos || HasNul(cmd)) {
        *why = "no program name can be quoted for: " + cmd;
        return false;
    }
    // With /s, cmd strips the outer pair of quotes and runs the rest as typed.
    *line = '"' + cmd + "\" /d /v:off /s /c \"";
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i != 0) *line += ' ';
        *line += '"' + arguments[i] + '"';
    }
    *line += '"';
    return true;
}
