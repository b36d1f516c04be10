// Drives the Windows tool host (tools/host/host.h) under Wine, where its real calls
// run. One command per run; prints "key=value" lines, "fail=what" for any
// check that does not hold.
//
//   tool_host_probe.exe args <any...>       each argument as UTF-8 bytes in hex
//   tool_host_probe.exe output <folder>     an output over an existing file, names, identity
//   tool_host_probe.exe wait <folder> [abandon]
//                                           waits for Ctrl-C with an output and a work folder open
//   tool_host_probe.exe hold <folder> [closed]
//                                           an output (finished when closed) and a work folder with
//                                           files held until the process is killed
//   tool_host_probe.exe sweep <folder> <path>...
//                                           ToolRemoveLeftovers(folder), then whether each path exists
//   tool_host_probe.exe workfolder          a work folder with a tree in it, held, then removed by handle
//   tool_host_probe.exe children <folder>   a child's secret on its standard input, and the timeout
//                                           ending a child with its grandchild
//   tool_host_probe.exe names               paths taken apart and joined, text at the Win32 calls
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/host/host.h"
#include "tools/host/output_internal.h"
#include "tools/host/win32_text.h"

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
    const std::string planted = ToolJoin(folder, ToolTemporaryFileName("app.exe", GetCurrentProcessId(), 0xa));
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

bool PutFile(const std::string& path, const std::string& text) {
    std::string why;
    return ToolWriteNewFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(), &why);
}

// An output written (and finished when closed) and a work folder with a
// file, held until the process is killed outright: the test's SIGKILL ends
// it, with no handler and no clean-up of its own.
int Hold(const std::string& folder, bool closed) {
    std::string why;
    ToolOutput output;
    std::string work;
    Check(ToolCreateOutput(ToolJoin(folder, "app.exe"), &output, &why) && Put(&output, std::string(1 << 20, 'p')),
          "create");
    // While written, the name opens for nobody: it is deleted with the handle.
    const HANDLE other = CreateFileW(ToolWide(output.temporary).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
    std::printf("open_while_written=%d\n", other == INVALID_HANDLE_VALUE ? 0 : 1);
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    if (closed) Check(ToolCloseOutput(&output, &why), "close");
    Check(ToolMakeWorkFolder(&work, &why), "work folder");
    Check(PutFile(ToolJoin(work, "signed.dll"), "signed"), "work file");
    std::printf("temporary=%s\nwork=%s\n", output.temporary.c_str(), work.c_str());
    std::fflush(stdout);
    Check(PutFile(ToolJoin(folder, "ready"), "r"), "ready");
    Sleep(INFINITE);
    return 3;
}

int Sweep(const std::string& folder, const std::vector<std::string>& paths) {
    std::printf("removed=%u\n", static_cast<unsigned>(ToolRemoveLeftovers(folder)));
    for (const std::string& path : paths) std::printf("exists=%d\n", ToolExists(path) ? 1 : 0);
    return 0;
}

// A work folder holding a tree a signer might leave (read-only and hidden
// files, nested folders): held against renaming, removed by its handle.
int WorkFolder() {
    std::string why;
    std::string work;
    Check(ToolMakeWorkFolder(&work, &why), "work folder");
    uint32_t owner = 0;
    Check(ToolParseWorkFolderName(ToolNameOf(work), &owner) && owner == GetCurrentProcessId(), "work folder name");
    const std::string sub = ToolJoin(ToolJoin(work, "sub"), "deeper");
    Check(CreateDirectoryW(ToolWide(ToolJoin(work, "sub")).c_str(), nullptr) != FALSE &&
              CreateDirectoryW(ToolWide(sub).c_str(), nullptr) != FALSE,
          "subfolders");
    Check(PutFile(ToolJoin(sub, "left.tmp"), "l") && PutFile(ToolJoin(work, "readonly.dll"), "r") &&
              PutFile(ToolJoin(work, "hidden.txt"), "h"),
          "files");
    SetFileAttributesW(ToolWide(ToolJoin(work, "readonly.dll")).c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(ToolWide(ToolJoin(work, "hidden.txt")).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    const std::string moved = work + "-moved";
    const BOOL renamed = MoveFileExW(ToolWide(work).c_str(), ToolWide(moved).c_str(), 0);
    std::printf("renamed_while_held=%d\n", renamed != FALSE ? 1 : 0);
    if (renamed != FALSE) MoveFileExW(ToolWide(moved).c_str(), ToolWide(work).c_str(), 0);
    ToolRemoveWorkFolder(work);
    Check(!ToolExists(work), "work folder removed");
    ToolRemoveWorkFolder(work);  // nothing held any more: nothing done
    std::printf("failures=%d\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}

std::string OwnPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return ToolUtf8(path, length);
}

// Names taken apart and joined by Windows' rules (drives, UNC shares, both
// separators, trailing ones), and the text at the Win32 calls: a name that is
// not UTF-8 reaches no call, a lone surrogate comes back as U+FFFD.
int Names() {
    const struct {
        const char* path;
        const char* folder;
        const char* name;
    } cases[] = {
        {"app.exe", ".", "app.exe"},
        {"C:\\out\\app.exe", "C:\\out", "app.exe"},
        {"C:\\app.exe", "C:\\", "app.exe"},
        {"C:app.exe", "C:", "app.exe"},
        {"out/sub/", "out", "sub"},
        {"out\\sub\\\\", "out", "sub"},
        {"\\\\server\\share\\app.exe", "\\\\server\\share", "app.exe"},
        {"C:\\", "C:\\", ""},
        {"\\app.exe", "\\", "app.exe"},
    };
    for (const auto& c : cases) {
        const std::string folder = ToolFolderOf(c.path);
        const std::string name = ToolNameOf(c.path);
        std::printf("parts=%s|%s|%s\n", c.path, folder.c_str(), name.c_str());
        Check(folder == c.folder && name == c.name, c.path);
    }
    Check(ToolJoin("C:\\out", "a") == "C:\\out\\a" && ToolJoin("C:\\out\\", "a") == "C:\\out\\a" &&
              ToolJoin("C:", "a") == "C:a" && ToolJoin("", "a") == "a",
          "joins");
    Check(ToolWide("bad \xff name").empty() && ToolWide("\xc3\xa9t\xc3\xa9") == L"\u00e9t\u00e9", "to UTF-16");
    const wchar_t lone[] = {L'a', 0xD800, L'b'};
    Check(ToolUtf8(lone, 3) == "a\xef\xbf\xbd" "b", "a lone surrogate");
    std::printf("failures=%d\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}

// A secret reaches a child on its standard input; the timeout ends a child
// and the grandchild it started.
int Children(const std::string& folder) {
    const std::string self = OwnPath();
    const std::string secret = "s3cret p\xc3\xa4ss \"word\"";
    ToolRunOptions options;
    options.secret = &secret;
    std::string output;
    int status = -9;
    Check(ToolRunProgram({self, "cat"}, &status, &output, options) && status == 0 && output == Hex(secret),
          "secret on standard input");
    Check(ToolRunProgram({self, "cat"}, &status, &output) && status == 0 && output.empty(), "no secret: empty input");
    Check(!ToolRunProgram({ToolJoin(ToolFolderOf(self), "none.exe")}, &status, &output) &&
              status == TOOL_RUN_NOT_STARTED && output.find("not an executable program") != std::string::npos,
          "a program that is not there");

    ToolRunOptions limited;
    limited.timeoutSeconds = 2;
    const std::string pidFile = ToolJoin(folder, "grandchild.pid");
    const DWORD start = GetTickCount();
    const bool ran = ToolRunProgram({self, "tree", pidFile}, &status, &output, limited);
    std::printf("timeout_result=%d elapsed_ms=%lu\n", status, static_cast<unsigned long>(GetTickCount() - start));
    Check(!ran && status == TOOL_RUN_TIMED_OUT, "timed out");
    std::vector<uint8_t> bytes;
    std::string why;
    Check(ToolReadWhole(pidFile, 64, &bytes, &why), "grandchild pid");
    const DWORD pid = static_cast<DWORD>(std::strtoul(std::string(bytes.begin(), bytes.end()).c_str(), nullptr, 10));
    const HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, pid);
    const bool ended = grandchild == nullptr || WaitForSingleObject(grandchild, 5000) == WAIT_OBJECT_0;
    if (grandchild != nullptr) CloseHandle(grandchild);
    std::printf("grandchild_ended=%d\n", ended ? 1 : 0);
    std::printf("failures=%d\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}

// The child of Children: standard input to its end, in hex, on standard output.
int Cat() {
    std::string input;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) != FALSE && got != 0) {
        input.append(buffer, got);
    }
    std::printf("%s", Hex(input).c_str());
    return 0;
}

// A child that starts a grandchild which never ends, then never ends itself.
int Tree(const std::string& pidFile) {
    std::wstring line = L"\"" + ToolWide(OwnPath()) + L"\" sleep";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) return 4;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    PutFile(pidFile, std::to_string(started.dwProcessId));
    Sleep(INFINITE);
    return 5;
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
    if (args.size() >= 3 && args[1] == "hold") return Hold(args[2], args.size() == 4 && args[3] == "closed");
    if (args.size() >= 3 && args[1] == "sweep") {
        return Sweep(args[2], std::vector<std::string>(args.begin() + 3, args.end()));
    }
    if (args.size() == 2 && args[1] == "workfolder") return WorkFolder();
    if (args.size() == 3 && args[1] == "children") return Children(args[2]);
    if (args.size() == 2 && args[1] == "names") return Names();
    if (args.size() == 2 && args[1] == "cat") return Cat();
    if (args.size() == 3 && args[1] == "tree") return Tree(args[2]);
    if (args.size() == 2 && args[1] == "sleep") {
        Sleep(INFINITE);
        return 6;
    }
    std::printf("usage\n");
    return 2;
}
