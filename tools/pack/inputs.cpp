// The inputs before any work: the output never one of them, each one there and
// readable, the launcher an image the launcher's own probe accepts, the
// payload not empty, and room for what will be written.
#include <cstdio>

#include "archive/host_image.h"
#include "tools/pack/archive_layout.h"
#include "tools/pack/pack_tool.h"

namespace {

// Launchers are a few hundred KB and runtime libraries tens of MB: a limit
// far above both keeps a wrong file from filling the memory.
constexpr uint64_t LAUNCHER_LIMIT = 64u << 20;
constexpr uint64_t RUNTIME_LIMIT = 1u << 30;
constexpr uint64_t ICON_LIMIT = 64u << 20;
// Beyond the bytes themselves: the archive's headers and a rewritten resource section.
constexpr uint64_t SPACE_MARGIN = 1u << 20;

const char LAUNCHER_NAME[] = "VorlaneLauncher.exe";

struct NamedInput {
    const char* what;
    const std::string* path;
};

// Present and a file: "what not found: path" otherwise, as the packager named it.
bool Present(const char* what, const std::string& path, Failure* failure) {
    if (!ToolExists(path)) return Fail(failure, PACK_EXIT_FAILED, std::string(what) + " not found: " + path);
    if (ToolIsFolder(path)) return Fail(failure, PACK_EXIT_FAILED, std::string(what) + " is a folder: " + path);
    return true;
}

bool ReadSmall(const char* what, const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes,
               Failure* failure) {
    if (!Present(what, path, failure)) return false;
    std::string why;
    if (!ToolReadWhole(path, limit, bytes, &why)) {
        return Fail(failure, PACK_EXIT_FAILED, std::string("cannot read the ") + what + " " + path + ": " + why);
    }
    return true;
}

std::string Megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

bool FindLauncher(PackOptions* options, Failure* failure) {
    if (!options->launcher.empty()) return true;
    const std::string own = ToolOwnFolder();
    // Beside the tool (a release bundle, build/win64/tools/..), or the cross
    // build of the checkout whose native build holds the tool.
    const std::string places[] = {
        ToolJoin(own, LAUNCHER_NAME),
        ToolJoin(ToolJoin(own, ".."), LAUNCHER_NAME),
        ToolJoin(ToolJoin(ToolJoin(ToolJoin(own, ".."), ".."), "win64"), LAUNCHER_NAME),
    };
    for (const std::string& place : places) {
        if (ToolExists(place) && !ToolIsFolder(place)) {
            options->launcher = place;
            return true;
        }
    }
    return Fail(failure, PACK_EXIT_FAILED,
                "no launcher given (--launcher EXE) and no " + std::string(LAUNCHER_NAME) + " next to vorlane-pack (" +
                    own + ") or in the checkout's build/win64 (run scripts/build.sh)");
}

bool CheckOutputPath(const PackOptions& options, Failure* failure) {
    const NamedInput inputs[] = {
        {"the launcher", &options.launcher},       {"the payload", &options.payload},
        {"the runtime library", &options.runtime}, {"the icon", &options.icon},
        {"the config file", &options.config},      {"the signing certificate", &options.sign.certificate},
        {"the signing key", &options.sign.key},    {"the PKCS#12 file", &options.sign.pkcs12},
    };
    auto refuse = [&](const char* what, const std::string& path) {
        return Fail(failure, PACK_EXIT_FAILED,
                    "-o " + options.output + " is " + what + " (" + path +
                        "): packing would replace its own input; choose another output path");
    };
    for (const NamedInput& input : inputs) {
        if (!input.path->empty() && ToolSameFile(options.output, *input.path)) return refuse(input.what, *input.path);
    }
    for (const std::string& root : options.trustRoots) {
        if (ToolSameFile(options.output, root)) return refuse("a trusted root certificate", root);
    }
    if (ToolIsFolder(options.output)) return Fail(failure, PACK_EXIT_FAILED, "output is a folder: " + options.output);
    const std::string folder = ToolFolderOf(options.output);
    if (!ToolIsFolder(folder)) return Fail(failure, PACK_EXIT_FAILED, "output folder not found: " + folder);
    return true;
}

bool ReadInputs(const PackOptions& options, PackFiles* files, Failure* failure) {
    if (!options.icon.empty() && !ReadSmall("icon", options.icon, ICON_LIMIT, &files->icon, failure)) return false;
    if (!ReadSmall("launcher", options.launcher, LAUNCHER_LIMIT, &files->launcher, failure)) return false;
    const ImageCheck image = CheckLauncherImage(files->launcher.data(), files->launcher.size(), &files->cut);
    if (image != ImageCheck::Ok) {
        return Fail(failure, PACK_EXIT_FAILED, "launcher " + options.launcher + ": " + ImageCheckName(image));
    }
    Say("launcher " + options.launcher + ": image ends at " + std::to_string(files->cut) +
        (files->cut == files->launcher.size()
             ? std::string()
             : " (" + std::to_string(files->launcher.size() - files->cut) + " bytes after it dropped)"));

    if (!Present("payload", options.payload, failure)) return false;
    std::string why;
    if (!ToolOpenRead(options.payload, &files->payload, &files->payloadSize, &why)) {
        return Fail(failure, PACK_EXIT_FAILED, "cannot read the payload " + options.payload + ": " + why);
    }
    if (files->payloadSize == 0) {
        return Fail(failure, PACK_EXIT_FAILED,
                    "payload is empty: the launcher would not find it; give the file your runtime reads");
    }
    if (!ReadSmall("runtime library", options.runtime, RUNTIME_LIMIT, &files->runtime, failure)) return false;
    if (files->runtime.empty()) {
        return Fail(failure, PACK_EXIT_FAILED, "runtime library is empty: " + options.runtime);
    }
    for (const std::string& root : options.trustRoots) {
        if (!Present("trusted root certificate", root, failure)) return false;
    }
    return true;
}

bool RefuseTooLarge(uint64_t size, bool estimate, Failure* failure) {
    char gib[32];
    std::snprintf(gib, sizeof gib, "%.2f GiB", static_cast<double>(size) / static_cast<double>(1ull << 30));
    return Fail(failure, PACK_EXIT_REFUSED,
                std::string("the package would be ") + (estimate ? "about " : "") + std::to_string(size) +
                    " bytes (" + gib + "): Windows does not start an executable of 4 GiB (" +
                    std::to_string(WINDOWS_START_LIMIT) +
                    " bytes) or more. Make the payload smaller; nothing was written");
}

bool CheckSpace(const PackOptions& options, const PackFiles& files, Failure* failure) {
    // Before any work: the launcher's image and the payload alone may be too large to start.
    const uint64_t least = uint64_t{files.cut} + ARCHIVE_START_HEADER_SIZE;
    if (files.payloadSize >= WINDOWS_START_LIMIT - least) {
        return RefuseTooLarge(least + files.payloadSize, true, failure);
    }
    const std::string folder = ToolFolderOf(options.output);
    uint64_t needed = files.cut + files.payloadSize + files.runtime.size() + files.icon.size() + SPACE_MARGIN;
    if (options.sign.signExe) needed *= 2;  // the signed copy waits beside the unsigned one
    uint64_t free = 0;
    if (!ToolFreeSpace(folder, &free)) return true;  // nothing to go by: the writes will say
    if (free < needed) {
        return Fail(failure, PACK_EXIT_FAILED,
                    "not enough space in " + folder + " for the package: packing needs about " + Megabytes(needed) +
                        " there, " + Megabytes(free) + " are free");
    }
    Say("payload " + options.payload + ": " + std::to_string(files.payloadSize) + " bytes; packing needs about " +
        Megabytes(needed) + " in " + folder);
    return true;
}
