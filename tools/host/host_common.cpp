// The tool host's operations that are the same over every OS, built on the
// per-OS ones and the standard library (see host.h).
#include "tools/host/host.h"

#include <filesystem>
#include <system_error>
#include <type_traits>

#include "tools/host/host_internal.h"
#include "tools/host/output_internal.h"
#include "tools/host/text.h"

namespace fs = std::filesystem;

namespace {

// A path for the standard library's name operations, from UTF-8 through the
// tools' codec: never the ANSI code page on Windows, never an exception.
fs::path PathOf(const std::string& utf8) {
    if constexpr (std::is_same_v<fs::path::value_type, char>) {
        return fs::path(utf8);
    } else {
        std::u16string wide;
        Utf16FromUtf8(utf8, &wide);
        return fs::path(std::wstring(wide.begin(), wide.end()));
    }
}

// A template, so that only the OS's own branch is compiled.
template <typename Char>
std::string Utf8OfNative(const std::basic_string<Char>& native) {
    if constexpr (sizeof(Char) == 1) {
        return native;
    } else {
        return Utf8Of(std::u16string(native.begin(), native.end()));
    }
}

std::string Utf8OfPath(const fs::path& path) { return Utf8OfNative(path.native()); }

// The path without trailing separators (a root keeps its own): "a/b/" names b.
fs::path Trimmed(const std::string& utf8) {
    fs::path path = PathOf(utf8);
    while (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
    return path;
}

}  // namespace

std::string ToolFolderOf(const std::string& path) {
    const fs::path folder = Trimmed(path).parent_path();
    return folder.empty() ? std::string(".") : Utf8OfPath(folder);
}

std::string ToolNameOf(const std::string& path) { return Utf8OfPath(Trimmed(path).filename()); }

std::string ToolJoin(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return Utf8OfPath(PathOf(folder) / PathOf(name));
}

// Asked of the folder itself (a trailing separator keeps it whole), which may
// be a volume mounted apart from its parent.
bool ToolFreeSpace(const std::string& folder, uint64_t* bytes) {
    std::error_code error;
    const fs::space_info space = fs::space(ToolFsPath(folder) / "", error);
    if (error) return false;
    *bytes = space.available;
    return true;
}

void ToolKeepOutput(std::string* output, const char* data, size_t size) {
    constexpr size_t OUTPUT_LIMIT = 1 << 20;
    output->append(data, size);
    if (output->size() > OUTPUT_LIMIT) output->erase(0, output->size() - OUTPUT_LIMIT);
}

bool ToolRunStopped(const std::string& reason, int* status, std::string* output, int stop) {
    *status = stop;
    if (!output->empty() && output->back() != '\n') output->push_back('\n');
    output->append(reason);
    return false;
}

bool ToolRunProgram(const std::vector<std::string>& arguments, int* status, std::string* output,
                    const ToolRunOptions& options) {
    output->clear();
    if (arguments.empty() || arguments[0].empty()) return ToolRunStopped("no program to run", status, output);
    std::string program;
    if (!ToolFindProgram(arguments[0], &program)) {
        const std::string why = PathOf(arguments[0]).has_parent_path() ? "not an executable program: " + arguments[0]
                                                                       : arguments[0] + " not found on PATH";
        return ToolRunStopped(why, status, output);
    }
    return ToolRunFound(program, arguments, status, output, options);
}

bool ToolRunEnded(int stop, bool endKnown, const ToolRunOptions& options, int* status, std::string* output) {
    if (ToolInterruption() != 0) return ToolRunStopped("(interrupted)", status, output, TOOL_RUN_INTERRUPTED);
    if (stop == TOOL_RUN_TIMED_OUT) {
        const std::string after = std::to_string(options.timeoutSeconds);
        return ToolRunStopped("(still running after " + after + " seconds: ended)", status, output, stop);
    }
    if (stop == TOOL_RUN_WANTS_TERMINAL) {
        return ToolRunStopped("(stopped to read the terminal: ended)", status, output, stop);
    }
    if (!endKnown) return ToolRunStopped("(its end could not be had)", status, output);
    return true;
}

bool ToolReadWhole(const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes, std::string* why) {
    ToolFile file;
    uint64_t size = 0;
    if (!ToolOpenRead(path, &file, &size, why)) return false;
    if (size > limit) {
        if (why != nullptr) {
            *why = path + " is " + std::to_string(size) + " bytes, more than the " + std::to_string(limit) +
                   " this input may have";
        }
        return false;
    }
    bytes->resize(static_cast<size_t>(size));
    size_t got = 0;
    std::string reason;
    if (!ToolRead(&file, bytes->data(), bytes->size(), &got, &reason)) {
        if (why != nullptr) *why = "cannot read " + path + " (" + reason + ")";
        return false;
    }
    bytes->resize(got);
    return true;
}

// ---- the names of temporary files and work folders ------------------------------

namespace {

const char WORK_PREFIX[] = "vorlane-";
const char TEMPORARY_MARK[] = ".vorlane-";
const char TEMPORARY_SUFFIX[] = ".tmp";
constexpr size_t RANDOM_DIGITS = 16;
// A process id of 32 bits has at most ten digits.
constexpr size_t PID_DIGITS = 10;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// "<pid>-<16 hex digits>" exactly, as the two makers below write it.
bool ParseOwnerAndRandom(const std::string& text, uint32_t* pid) {
    const size_t dash = text.find('-');
    if (dash == 0 || dash == std::string::npos || dash > PID_DIGITS || text.size() != dash + 1 + RANDOM_DIGITS) {
        return false;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < dash; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (value == 0 || value > 0xFFFFFFFFu || (dash > 1 && text[0] == '0')) return false;
    for (size_t i = dash + 1; i < text.size(); ++i) {
        if (!IsHexDigit(text[i])) return false;
    }
    *pid = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

std::string ToolTemporaryFileName(const std::string& outputName, uint32_t pid, uint64_t random) {
    return "." + outputName + TEMPORARY_MARK + std::to_string(pid) + "-" + HexNumber(random, RANDOM_DIGITS, false) +
           TEMPORARY_SUFFIX;
}

std::string ToolWorkFolderName(uint32_t pid, uint64_t random) {
    return WORK_PREFIX + std::to_string(pid) + "-" + HexNumber(random, RANDOM_DIGITS, false);
}

bool ToolParseTemporaryFileName(const std::string& name, uint32_t* pid) {
    const size_t suffix = sizeof(TEMPORARY_SUFFIX) - 1;
    if (name.size() < 2 + suffix || name[0] != '.') return false;
    if (name.compare(name.size() - suffix, suffix, TEMPORARY_SUFFIX) != 0) return false;
    const std::string stem = name.substr(0, name.size() - suffix);
    const size_t mark = stem.rfind(TEMPORARY_MARK);
    // The output's own name comes first, and is never empty.
    if (mark == std::string::npos || mark < 2) return false;
    return ParseOwnerAndRandom(stem.substr(mark + sizeof(TEMPORARY_MARK) - 1), pid);
}

bool ToolParseWorkFolderName(const std::string& name, uint32_t* pid) {
    const size_t prefix = sizeof(WORK_PREFIX) - 1;
    if (name.compare(0, prefix, WORK_PREFIX) != 0) return false;
    return ParseOwnerAndRandom(name.substr(prefix), pid);
}
