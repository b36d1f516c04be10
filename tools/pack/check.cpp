// The check: the launcher's verdict, from the inspector's own code, twice.
// Before any byte is written, on the runtime library behind the rewritten
// image (signature, publisher, pin, machine, imports, export, settings), so a
// refusal costs no payload copy; then on the written package under its
// temporary name (the archive found and opened, the payload in place, the
// runtime decoded and judged, the chain against --trust-root), before it
// takes its name. A refusal says the launcher's message and what to do.
#include "tools/host/host.h"
#include "tools/inspect/inspect.h"
#include "tools/inspect/report_common.h"
#include "tools/inspect/verdict.h"
#include "tools/pack/pack_tool.h"

namespace {

bool Refused(const InspectReport& report, Failure* failure) {
    const char* who = report.verdict.by == Ender::Windows   ? "this package would not start: "
                      : report.verdict.by == Ender::Runtime ? "this package would fail at start: "
                                                            : "the launcher would refuse this package: ";
    std::string text = who + VerdictText(report.verdict);
    if (!report.verdict.explanation.empty()) text += "\n" + Shown(report.verdict.explanation);
    // No option writes a package Windows does not start.
    text += report.verdict.by == Ender::Windows ? "\nnothing was written"
                                                : "\nnothing was written (--no-check writes it anyway)";
    return Fail(failure, PACK_EXIT_REFUSED, text);
}

bool Inspect(const PackOptions& options, const std::string& path, InspectReport* report, Failure* failure) {
    std::u16string modulePath;
    std::string why;
    if (!ModulePathOf(path, &modulePath, &why)) {
        return Fail(failure, PACK_EXIT_FAILED, "cannot check " + path + ": its path cannot be formed: " + why);
    }
    InspectOptions inspect;
    inspect.trustRoots = options.trustRoots;
    inspect.verify = PlatformChainCheck();
    inspect.machineTrust = PlatformMachineTrust();
    InspectPackage(modulePath.c_str(), inspect, report);
    return !Interrupted(failure);
}

}  // namespace

bool PredictVerdict(const PackOptions& options, const std::vector<uint8_t>& image, const PackFiles& files,
                    Failure* failure) {
    if (!CheckRuns(options)) return true;
    InspectReport report;
    report.launcher = ReadLauncherFacts(image.data(), image.size());
    EntryFacts entry;
    entry.role = EntryRole::Runtime;
    entry.runtimePe = ReadPeFacts(files.runtime.data(), files.runtime.size(), true);
    report.entries.push_back(entry);
    report.runtimeInstallable = true;
    report.runtimeEntry = 0;
    report.verdict.ok = true;
    // The chain is verified once, on the package.
    JudgeRuntime(files.runtime, InspectOptions{}, &report);
    return report.verdict.ok || Refused(report, failure);
}

bool CheckPackage(const PackOptions& options, const std::string& path, Failure* failure) {
    if (!CheckRuns(options)) return true;
    Say("checking the package with the launcher's own code");
    InspectReport report;
    if (!Inspect(options, path, &report, failure)) return false;
    if (!report.verdict.ok) return Refused(report, failure);
    for (const std::string& note : report.notes) Say("note: " + Shown(note));
    Say(report.verdict.chainAssumed ? "check: the launcher accepts the package where the signature's chain is trusted "
                                      "(not checked: give --trust-root)"
                                    : "check: the launcher accepts the package");
    return true;
}

bool CheckSignedPackage(const PackOptions& options, const std::string& path, Failure* failure) {
    InspectReport report;
    if (!Inspect(options, path, &report, failure)) return false;
    // The signature may take it over the size Windows starts.
    if (report.verdict.by == Ender::Windows) return Refused(report, failure);
    // Unchecked packages may be refused for their runtime; the archive must open whatever the check says.
    const bool opens = report.archiveFound && report.openTried && report.openResult == 0 &&
                       report.payload.checked && report.payload.result == PayloadResult::Ok;
    if (opens && (!CheckRuns(options) || report.verdict.ok)) return true;
    return Fail(failure, PACK_EXIT_FAILED,
                "the signed package no longer opens as the unsigned one did (" + VerdictText(report.verdict) +
                    "): the signer changed more than it may (only a certificate table may be added at the end); "
                    "nothing was written");
}
