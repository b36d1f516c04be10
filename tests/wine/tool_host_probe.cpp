// Drives the Windows tool host (tool_host.h) under Wine, where its real calls
// run. One command per run; prints "key=value" lines, "fail=what" for any
// check that does not hold.
//
//   tool_host_probe.exe args <any...>       each argument as UTF-8 bytes in hex
//   tool_host_probe.exe output <folder>     an output over an existing file, names, identity
//   tool_host_probe.exe wait <folder> [abandon]
//                                           waits for Ctrl-C with an output and a work folder open
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/tool_host.h"
#include "platform/tool_output_internal.h"
#include "platform/tool_text_win32.h"

namespace {

int g_failures = 0;

void Check(bool holds, const char* what) {
    if (!holds) {
        std::printf("fail=%s\n", what);
        ++g_failures;
    }
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof(two), "%02x", c);
        out += two;
    }
    return out;
}

bool Put(ToolOutput* output, const std::string& text) {
    std::string why;
    return ToolWrite(output, reinterpret_cast<const uint8_t*>(text.data()), text.size(), &why);
}

std::string Slurp(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string why;
    if (!ToolReadWhole(path, 1 << 20, &bytes, &why)) return "<" + why + ">";
    return std::string(bytes.begin(), bytes.end());
}

uint64_t FixedDraw() { return 0xa; }

int Output(const std::string& folder) {
    const std::string final = ToolJoin(folder, "app.exe");
    std::string why;
    ToolOutput first;
    Check(ToolCreateOutput(final, &first, &why) && Put(&first, "old") && ToolCommitOutput(&first, &why), "first");
    Check(CreateHardLinkW(ToolWide(ToolJoin(folder, "old.exe")).c_str(), ToolWide(final).c_str(), nullptr) != FALSE,
          "hard link");
    Check(ToolSameFile(final, ToolJoin(folder, "old.exe")), "hard link is the same file");

    ToolOutput output;
    Check(ToolCreateOutput(final, &output, &why), "create");
    Check(ToolNameOf(output.temporary).rfind(".app.exe.", 0) == 0 && ToolFolderOf(output.temporary) == folder,
          "temporary name");
    const std::string patch = "HEAD";
    Check(Put(&output, "new XXXX") &&
              ToolWriteAt(&output, 4, reinterpret_cast<const uint8_t*>(patch.data()), patch.size(), &why) &&
              Put(&output, " tail"),
          "writes");
    Check(Slurp(final) == "old", "final untouched before the commit");
    Check(ToolCommitOutput(&output, &why), "commit");
    Check(Slurp(final) == "new HEAD tail", "committed bytes");
    Check(Slurp(ToolJoin(folder, "old.exe")) == "old", "old file replaced, not rewritten");
    Check(!ToolSameFile(final, ToolJoin(folder, "old.exe")), "replaced file is another file");

    // A draw that names an existing file is never taken.
    ToolSetNameDraw(FixedDraw);
    const std::string planted = ToolJoin(folder, ".app.exe.000000000000000a.tmp");
    Check(ToolWriteNewFile(planted, reinterpret_cast<const uint8_t*>("theirs"), 6, &why), "plant");
    Check(!ToolCreateOutput(final, &output, &why), "existing name refused");
    Check(Slurp(planted) == "theirs", "planted file kept");
    ToolSetNameDraw(nullptr);

    std::string work;
    Check(ToolMakeWorkFolder(&work, &why), "work folder");
    Check(ToolWriteNewFile(ToolJoin(work, "key.txt"), reinterpret_cast<const uint8_t*>("k"), 1, &why), "new file");
    Check(!ToolWriteNewFile(ToolJoin(work, "key.txt"), reinterpret_cast<const uint8_t*>("k"), 1, &why), "exclusive");
    ToolRemoveWorkFolder(work);
    Check(!ToolExists(work), "work folder removed");
    Check(ToolOwnFolder().size() > 2, "own folder");
    uint64_t free = 0;
    Check(ToolFreeSpace(folder, &free) && free > 0, "free space");
    std::printf("failures=%d\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}

// Holds an output and a work folder, marks itself ready, then waits for an
// interruption (Wine turns a SIGINT into Ctrl-C) and checks what it left.
// Abandoned, it ends at once as a closed console ends it: the handler's work
// alone must leave nothing.
int Wait(const std::string& folder, bool abandon) {
    ToolCatchInterruptions();
    std::string why;
    ToolOutput output;
    std::string work;
    Check(ToolCreateOutput(ToolJoin(folder, "app.exe"), &output, &why) && Put(&output, "partial"), "create");
    Check(ToolMakeWorkFolder(&work, &why), "work folder");
    Check(ToolWriteNewFile(ToolJoin(work, "key.txt"), reinterpret_cast<const uint8_t*>("k"), 1, &why), "new file");
    Check(ToolWriteNewFile(ToolJoin(folder, "ready"), reinterpret_cast<const uint8_t*>("r"), 1, &why), "ready");
    for (int i = 0; i < 2000 && ToolInterruption() == 0; ++i) Sleep(10);
    std::printf("interruption=%d\n", ToolInterruption());
    std::fflush(stdout);
    if (abandon) ExitProcess(static_cast<UINT>(128 + ToolInterruption()));
    Check(!ToolExists(work), "work folder removed by the handler");
    // Deleted while still open: gone at once where deletion has POSIX
    // semantics, delete-pending until the handle closes elsewhere.
    std::printf("temporary_visible=%d\n", ToolExists(output.temporary) ? 1 : 0);
    Check(!(Put(&output, "more") && ToolCommitOutput(&output, &why)), "commit refused");
    ToolDiscardOutput(&output);
    Check(!ToolExists(ToolJoin(folder, "app.exe")), "no final file");
    std::printf("failures=%d\n", g_failures);
    std::fflush(stdout);
    return 128 + ToolInterruption();
}

}  // namespace

int wmain(int, wchar_t**) {
    const std::vector<std::string> args = ToolArguments(0, nullptr);
    if (args.size() >= 2 && args[1] == "args") {
        for (size_t i = 2; i < args.size(); ++i) std::printf("arg=%s\n", Hex(args[i]).c_str());
        return 0;
    }
    if (args.size() == 3 && args[1] == "output") return Output(args[2]);
    if (args.size() >= 3 && args[1] == "wait") return Wait(args[2], args.size() == 4 && args[3] == "abandon");
    std::printf("usage\n");
    return 2;
}
