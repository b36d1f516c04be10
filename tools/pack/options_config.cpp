// The --config file: one JSON object whose keys are the long options' names
// ("payload", "no-check", "timestamp", ...). Flags are true or false,
// repeatable options a string or an array of strings, --sign-runtime an array
// of two, --sign-timeout a number; relative paths are taken from the file's folder, so a config file
// works from wherever the tool is started. Read with nlohmann-json, without
// exceptions: a malformed file is a usage error naming where it went wrong.
#include <nlohmann/json.hpp>

#include "tools/pack/options.h"

namespace {

using Json = nlohmann::json;

// A config file is a few hundred bytes; anything near this is not one.
constexpr uint64_t CONFIG_LIMIT = 1u << 20;

// The DOM parser, keeping the parse error's words instead of throwing them.
struct ConfigParser : nlohmann::detail::json_sax_dom_parser<Json> {
    std::string error;
    explicit ConfigParser(Json& into) : nlohmann::detail::json_sax_dom_parser<Json>(into, false) {}
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& problem) {
        error = problem.what();
        return false;
    }
};

bool IsAbsolute(const std::string& path) {
#ifdef _WIN32
    // "C:\...", "C:/...", "\\server\share", "\..." (the current drive's root).
    if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
    return !path.empty() && (path[0] == '\\' || path[0] == '/');
#else
    return !path.empty() && path[0] == '/';
#endif
}

std::string FromFolder(const std::string& folder, const std::string& path) {
    return IsAbsolute(path) ? path : ToolJoin(folder, path);
}

bool KeyFailure(const std::string& file, const std::string& key, const std::string& why, Failure* failure) {
    return Fail(failure, PACK_EXIT_USAGE, file + ": \"" + key + "\" " + why);
}

// The strings of a value: a string, or for a repeatable option an array of them.
bool StringsOf(const Json& value, const OptionInfo& info, std::vector<std::string>* out) {
    if (info.kind == ValueKind::Seconds && value.is_number_unsigned()) {
        out->push_back(std::to_string(value.get<uint64_t>()));
        return true;
    }
    if (value.is_string()) {
        out->push_back(value.get_ref<const std::string&>());
        return info.kind != ValueKind::TwoPaths;
    }
    if (!value.is_array() || (!info.repeatable && info.kind != ValueKind::TwoPaths)) return false;
    for (const Json& item : value) {
        if (!item.is_string()) return false;
        out->push_back(item.get_ref<const std::string&>());
    }
    return info.kind != ValueKind::TwoPaths || out->size() == 2;
}

const char* ExpectedOf(const OptionInfo& info) {
    if (info.kind == ValueKind::Flag) return "must be true or false";
    if (info.kind == ValueKind::TwoPaths) return "must be an array of two paths";
    if (info.kind == ValueKind::Seconds) return "must be a whole number of seconds";
    if (info.repeatable) return "must be a string or an array of strings";
    return "must be a string";
}

}  // namespace

bool LoadConfig(const std::string& path, PackOptions* options, Failure* failure) {
    if (!ToolExists(path)) return Fail(failure, PACK_EXIT_FAILED, "config file not found: " + path);
    std::vector<uint8_t> bytes;
    std::string why;
    if (!ToolReadWhole(path, CONFIG_LIMIT, &bytes, &why)) {
        return Fail(failure, PACK_EXIT_FAILED, "cannot read the config file " + path + ": " + why);
    }
    Json root;
    ConfigParser parser(root);
    const std::string text(bytes.begin(), bytes.end());
    if (!Json::sax_parse(text, &parser) || !parser.error.empty()) {
        return Fail(failure, PACK_EXIT_USAGE, path + " is not JSON: " + parser.error);
    }
    if (!root.is_object()) {
        return Fail(failure, PACK_EXIT_USAGE, path + ": a config file is one JSON object, {\"payload\": ..., ...}");
    }
    const std::string folder = ToolFolderOf(path);
    for (auto item = root.begin(); item != root.end(); ++item) {
        const std::string& key = item.key();
        const OptionInfo* info = FindOption(key);
        if (info == nullptr || !info->inConfig) {
            const std::string hint = key == "version" ? " (the version block's key is \"file-version\")"
                                     : key == "o"     ? " (the output's key is \"output\")"
                                                      : "";
            return KeyFailure(path, key, "is not an option vorlane-pack takes in a config file" + hint, failure);
        }
        const Json& value = item.value();
        if (info->kind == ValueKind::Flag) {
            if (!value.is_boolean()) return KeyFailure(path, key, ExpectedOf(*info), failure);
            if (value.get<bool>()) ApplyOption(options, info->id, {});
            continue;
        }
        std::vector<std::string> values;
        if (!StringsOf(value, *info, &values)) return KeyFailure(path, key, ExpectedOf(*info), failure);
        if (info->kind == ValueKind::Path || info->kind == ValueKind::TwoPaths) {
            for (std::string& file : values) {
                if (file.empty()) return KeyFailure(path, key, "names no file", failure);
                file = FromFolder(folder, file);
            }
        }
        ApplyOption(options, info->id, values);
    }
    return true;
}
