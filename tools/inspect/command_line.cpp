// The command line of vorlane-inspect, the same on every OS: the entry point
// hands in UTF-8 arguments and the means to print and to name the file.
#include "base/long_path.h"
#include "platform/platform.h"
#include "tools/host/host.h"
#include "tools/inspect/inspect.h"
#include "tools/toolkit_version.h"

namespace {

// A build with a trust check of its own (the machine's) has no --trust-root:
// its help never offers one.
const char* UsageLine(const InspectIo& io) {
    return io.verify != nullptr ? "usage: vorlane-inspect [--json] [--trust-root CERT]... PACKAGED.exe\n"
                                : "usage: vorlane-inspect [--json] PACKAGED.exe\n";
}

std::string Usage(const InspectIo& io) {
    std::string text = UsageLine(io);
    text +=
        "\n"
        "Reads a packaged executable with the launcher's own code and tells what the\n"
        "launcher would do with it: its settings, publisher and version block, where\n"
        "its archive lies, every entry, the payload's in-place check, whether the\n"
        "runtime library decodes, its signer, machine and imports, and the verdict.\n"
        "\n"
        "  --json              one JSON document instead of text (shape: docs/packaging.md)\n";
    if (io.verify != nullptr) {
        text +=
            "  --trust-root CERT   also verify the runtime's signature chain against this root\n"
            "                      (PEM; repeatable) with osslsigncode\n";
    }
    text +=
        "  -h, --help          this text\n"
        "  --version           the toolkit's version\n"
        "\n";
    if (io.machineTrust != nullptr) {
        text +=
            "The runtime's signature chain is judged by this machine's own trust check,\n"
            "as the launcher's is: trust a test root on this machine to try it out.\n"
            "\n";
    }
    text +=
        "Texts from the package are shown with what a terminal would act on escaped:\n"
        "\\xHH for C0 controls, DEL and bytes that are not UTF-8, \\uHHHH for C1\n"
        "controls, bidirectional controls (U+202A-U+202E, U+2066-U+2069) and unpaired\n"
        "surrogates, \\\\ for a backslash (the file's own path keeps its backslashes).\n"
        "--json gives every text as it is, in JSON's own escapes.\n"
        "\n"
        "Exit status: 0 when the launcher accepts the package, otherwise the low 8 bits\n"
        "of the exit code the launcher would end with (-1 is 255); 64 for a usage error.\n";
    return text;
}

int UsageError(const InspectIo& io, const std::string& why) {
    io.err("vorlane-inspect: " + why + "\n" + UsageLine(io));
    return STATUS_USAGE;
}

}  // namespace

int InspectMain(const std::vector<std::string>& args, const InspectIo& io) {
    bool json = false;
    bool optionsDone = false;
    InspectOptions options;
    const std::string* file = nullptr;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg == "--json") {
            json = true;
        } else if (!optionsDone && arg == "--trust-root") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return UsageError(io, "--trust-root needs a certificate");
            options.trustRoots.push_back(args[++i]);
        } else if (!optionsDone && (arg == "-h" || arg == "--help")) {
            io.out(Usage(io));
            return 0;
        } else if (!optionsDone && arg == "--version") {
            io.out(std::string("vorlane-inspect ") + TOOLKIT_VERSION + "\n");
            return 0;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            return UsageError(io, "unknown option " + arg);
        } else if (file != nullptr) {
            return UsageError(io, "one packaged executable at a time");
        } else {
            file = &arg;
        }
    }
    if (file == nullptr || file->empty()) return UsageError(io, "no packaged executable given");

    std::u16string path;
    std::string why;
    char16_t scratch[LONG_PATH_CAPACITY];
    if (!options.trustRoots.empty() && io.verify == nullptr) {
        return UsageError(io, "this build has no --trust-root: it asks this machine's own trust check, as the "
                              "launcher does");
    }
    for (const std::string& root : options.trustRoots) {
        std::u16string rootPath;
        if (!io.resolve(root, &rootPath, &why) || (PlatGetFileAttributes(ToLongPath(rootPath.c_str(), scratch)) &
                                                     FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return UsageError(io, root + ": no such certificate file");
        }
    }
    options.verify = io.verify;
    options.machineTrust = io.machineTrust;
    if (!io.resolve(*file, &path, &why)) return UsageError(io, *file + ": " + why);

    // A file that is not there is the caller's mistake, not a verdict about a package.
    const uint32_t attributes =
        path.size() < PATH_CAPACITY ? PlatGetFileAttributes(ToLongPath(path.c_str(), scratch)) : 0;
    if (attributes == INVALID_FILE_ATTRIBUTES) return UsageError(io, *file + ": no such file");
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return UsageError(io, *file + ": is a folder");

    InspectReport report;
    InspectPackage(path.c_str(), options, &report);
    // A report cut short by Ctrl-C would tell what was not checked.
    if (ToolInterruption() != 0) {
        io.err("vorlane-inspect: interrupted: no report\n");
        return 128 + ToolInterruption();
    }
    io.out(json ? ReportJson(report) : ReportText(report));
    return report.verdict.ok ? 0 : ExitStatusOf(report.verdict.code);
}
