// The packing sequence: options, inputs (the output never one of them), the
// runtime signed and studied, the launcher's resources written, the verdict
// predicted, the package written under a temporary name, checked, signed and
// checked again when asked, then renamed. Whatever stops it, nothing is left:
// no output, no temporary file, no work folder; and what a pack killed
// outright left (where a name could not be avoided) goes at the next pack.
#include "tools/inspect/inspect.h"
#include "tools/pack/pack_tool.h"
#include "tools/toolkit_version.h"

namespace {

// What a stop leaves to remove, whichever step it came from.
struct Leftovers {
    ToolOutput package;
    ToolOutput signedPackage;
    std::string work;
    Leftovers() = default;
    Leftovers(const Leftovers&) = delete;
    Leftovers& operator=(const Leftovers&) = delete;
    ~Leftovers() {
        ToolDiscardOutput(&signedPackage);
        ToolDiscardOutput(&package);
        if (!work.empty()) ToolRemoveWorkFolder(work);
    }
};

bool CreateOutput(const std::string& path, ToolOutput* output, Failure* failure) {
    std::string why;
    if (ToolCreateOutput(path, output, &why)) return true;
    return Fail(failure, PACK_EXIT_FAILED, "cannot write " + path + ": " + why);
}

// --sign-exe. Signers write a new file and refuse one that exists, so the
// package is signed into the work folder, checked there, then copied into a
// second temporary file beside the output (its SHA-256 taken on the way).
bool SignPackage(const PackOptions& options, Leftovers* left, PackSummary* summary, Failure* failure) {
    std::string why;
    if (left->work.empty() && !ToolMakeWorkFolder(&left->work, &why)) {
        return Fail(failure, PACK_EXIT_FAILED, "cannot make a temporary folder: " + why);
    }
    uint64_t free = 0;
    if (ToolFreeSpace(left->work, &free) && free < summary->size + (1u << 20)) {
        return Fail(failure, PACK_EXIT_FAILED,
                    "not enough space in the temporary folder " + left->work + " for the signed package (" +
                        std::to_string(summary->size) + " bytes): set TMPDIR (TEMP on Windows) to a roomier one");
    }
    const std::string signedPath = ToolJoin(left->work, ToolNameOf(options.output));
    Say("signing the package");
    if (!SignFile(options.sign, left->package.temporary, signedPath, "the package", &why)) {
        if (Interrupted(failure)) return false;
        return Fail(failure, PACK_EXIT_FAILED, why);
    }
    if (!CheckSignedPackage(options, signedPath, failure) ||
        !CreateOutput(options.output, &left->signedPackage, failure) ||
        !HashFile(signedPath, &left->signedPackage, summary->sha256, &summary->size, failure)) {
        return false;
    }
    ToolDiscardOutput(&left->package);
    return true;
}

bool Pack(PackOptions& options, Failure* failure) {
    if (!FindLauncher(&options, failure) || !CheckOutputPath(options, failure)) return false;
    const size_t removed = ToolRemoveLeftovers(ToolFolderOf(options.output));
    if (removed != 0) Say("removed " + std::to_string(removed) + " temporary file(s) or folder(s) a killed pack left");
    PackFiles files;
    if (!ReadInputs(options, &files, failure) || !CheckRuntimeInput(options, files, failure) ||
        !CheckSpace(options, files, failure)) {
        return false;
    }
    if (options.noCheck) {
        WarnLoudly("--no-check: the package is written unchecked; the launcher may refuse it at start "
                   "(vorlane-inspect tells)");
    } else if (!CheckRuns(options)) {
        Warn("--unchecked-runtime: the runtime library is packed as given and the package is not checked (test "
             "packages only)");
    }

    Leftovers left;
    RuntimeInfo runtime;
    std::vector<uint8_t> image;
    if (!SignRuntime(options, &left.work, &files, failure) || !StudyRuntime(options, files, &runtime, failure) ||
        !RewriteLauncher(options, files, runtime, &image, failure) || !PredictVerdict(options, image, files, failure)) {
        return false;
    }
    if (Interrupted(failure) || !CreateOutput(options.output, &left.package, failure)) return false;

    PackReport report;
    if (!WritePackageFile(image, &files, &left.package, &report, failure)) return false;
    Say("archive: payload stored, runtime library BCJ2 over LZMA (" + std::to_string(report.runtimePacked) +
        " bytes)");
    // Closed before the check: it opens the file as the launcher does, sharing
    // no writing, which Windows refuses while our write handle is open.
    std::string closeWhy;
    if (!ToolCloseOutput(&left.package, &closeWhy)) {
        if (Interrupted(failure)) return false;
        return Fail(failure, PACK_EXIT_FAILED, "cannot write " + options.output + ": " + closeWhy);
    }
    if (!CheckPackage(options, left.package.temporary, failure)) return false;
    PackSummary summary;
    summary.output = options.output;
    summary.size = report.packageSize;
    ToolOutput* written = &left.package;
    if (options.sign.signExe) {
        if (!SignPackage(options, &left, &summary, failure)) return false;
        written = &left.signedPackage;
    } else if (options.json && !HashFile(written->temporary, nullptr, summary.sha256, &summary.size, failure)) {
        return false;
    }
    if (Interrupted(failure)) return false;
    std::string why;
    if (!ToolCommitOutput(written, &why)) {
        if (Interrupted(failure)) return false;
        return Fail(failure, PACK_EXIT_FAILED, "cannot write " + options.output + ": " + why);
    }
    Say("wrote " + options.output + " (" + std::to_string(summary.size) + " bytes)");
    if (options.json) {
        const LauncherFacts facts = ReadLauncherFacts(image.data(), image.size());
        summary.payloadOffset = report.searchStart + 32;
        summary.payloadSize = report.payloadSize;
        summary.pin = runtime.pinText;
        const MaybeText& publisher = StringOf(facts, PUBLISHER_STRING_ID);
        summary.hasPublisher = publisher.present;
        summary.publisher = publisher.text;
        summary.checked = CheckRuns(options);
        summary.signedPackage = options.sign.signExe;
        ToolWriteOut(SummaryJson(summary));
    }
    return true;
}

}  // namespace

int RunPack(const std::vector<std::string>& args) {
    PackOptions options;
    Failure failure;
    if (!ReadOptions(args, &options, &failure)) {
        Complain(failure.message);
        return failure.status;
    }
    if (options.help) {
        ToolWriteOut(UsageText());
        return PACK_EXIT_WRITTEN;
    }
    if (options.showVersion) {
        ToolWriteOut(std::string("vorlane-pack ") + TOOLKIT_VERSION + "\n");
        return PACK_EXIT_WRITTEN;
    }
    SetQuiet(options.quiet);
    for (const std::string& warning : options.warnings) Warn(warning);
    bool done = CheckOptions(&options, &failure);
    if (done && !options.trustRoots.empty() && PlatformChainCheck() == nullptr) {
        done = Fail(&failure, PACK_EXIT_USAGE,
                    "--trust-root needs osslsigncode: this build of vorlane-pack cannot verify a chain against a "
                    "root (the Linux build can)");
    }
    if (done) done = Pack(options, &failure);
    if (done) return PACK_EXIT_WRITTEN;
    // Whatever failed after an interruption failed because of it (a refused temporary name, a stopped signer).
    Interrupted(&failure);
    Complain(failure.message);
    return failure.status;
}
