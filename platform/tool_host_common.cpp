// The tool host's operations that are the same over every OS, built on the
// per-OS ones (see tool_host.h).
#include "platform/tool_host.h"

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
