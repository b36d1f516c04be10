// The module path over POSIX (see host.h).
#include "tools/host/host.h"

#include <filesystem>
#include <system_error>

#include "platform/posix_common.h"

namespace fs = std::filesystem;

// The absolute path with "." and ".." resolved by name, as Windows reports a
// module path; links stay as they are, and so does a trailing separator
// (the name of no file, as on Windows).
bool ModulePathOf(const std::string& argument, std::u16string* path, std::string* why) {
    std::error_code error;
    const fs::path absolute = fs::absolute(argument, error);
    if (error) {
        *why = "the current folder cannot be told: " + error.message();
        return false;
    }
    *path = PosixWidePath(absolute.lexically_normal().native());
    return true;
}
