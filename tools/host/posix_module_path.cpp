// The module path over POSIX (see module_path.h).
#include "platform/module_path.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/posix_common.h"

namespace {

// The absolute path with "." and ".." resolved by name, as Windows reports a
// module path; links stay as they are.
std::string Absolute(const std::string& path) {
    std::string joined = path;
    if (path.empty() || path[0] != '/') {
        // Only a buffer too small is worth another try: a deleted current
        // folder (ENOENT) or no permission never gets better.
        std::vector<char> cwd(4096);
        while (getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE || cwd.size() >= (1u << 20)) return path;
            cwd.resize(cwd.size() * 2);
        }
        joined = std::string(cwd.data()) + "/" + path;
    }
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= joined.size()) {
        size_t next = joined.find('/', at);
        if (next == std::string::npos) next = joined.size();
        const std::string part = joined.substr(at, next - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = next + 1;
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

}  // namespace

bool ModulePathOf(const std::u16string& argument, std::u16string* path, std::string*) {
    *path = PosixWidePath(Absolute(Utf16ToUtf8(argument)));
    return true;
}
