// The tool host's operations that are the same over every OS, built on the
// per-OS ones (see tool_host.h).
#include "platform/tool_host.h"
#include "platform/tool_output_internal.h"

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

std::string Hex(uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text(RANDOM_DIGITS, '0');
    for (size_t i = RANDOM_DIGITS; i-- > 0; value >>= 4) text[i] = digits[value & 15u];
    return text;
}

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
    return "." + outputName + TEMPORARY_MARK + std::to_string(pid) + "-" + Hex(random) + TEMPORARY_SUFFIX;
}

std::string ToolWorkFolderName(uint32_t pid, uint64_t random) {
    return WORK_PREFIX + std::to_string(pid) + "-" + Hex(random);
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
