/* Runs a program on Windows and reports its message boxes, for the end-to-end
   tests run there (under Wine the relay trace reports them):

       box_watch PROGRAM [ARGS...]

   Every message box a window of the program's process shows is printed to
   standard error as `box "CAPTION": TEXT` (UTF-8, newlines as \n), then
   dismissed with its default button, so no run waits for a click. Exits with
   the program's exit code; 125 when it cannot be started. */
#include <windows.h>
#include <stdio.h>

static DWORD g_pid;

static void Print(const wchar_t *text) {
    char out[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, NULL, NULL);
    for (int i = 0; n > 0 && out[i]; ++i) {
        if (out[i] == '\n') fputs("\\n", stderr);
        else if (out[i] != '\r') fputc(out[i], stderr);
    }
}

/* A message box is a dialog (#32770) whose text is the static control 0xFFFF. */
static BOOL CALLBACK Look(HWND window, LPARAM unused) {
    DWORD pid = 0;
    wchar_t kind[16], caption[1024], text[4096];
    (void)unused;
    GetWindowThreadProcessId(window, &pid);
    if (pid != g_pid || !IsWindowVisible(window) || !GetClassNameW(window, kind, 16) ||
        lstrcmpW(kind, L"#32770") != 0) {
        return TRUE;
    }
    GetWindowTextW(window, caption, 1024);
    if (!GetDlgItemTextW(window, 0xFFFF, text, 4096)) text[0] = 0;
    fputs("box \"", stderr);
    Print(caption);
    fputs("\": ", stderr);
    Print(text);
    fputs("\n", stderr);
    fflush(stderr);
    SendMessageW(window, WM_COMMAND, IDOK, 0);
    SendMessageW(window, WM_CLOSE, 0, 0);  /* boxes without an OK button */
    return TRUE;
}

int wmain(int argc, wchar_t **argv) {
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    wchar_t *line = GetCommandLineW();
    DWORD code = 125;
    /* The program's command line is ours without our own name. */
    if (*line == L'"') {
        for (++line; *line && *line != L'"'; ++line) {}
        if (*line) ++line;
    } else {
        while (*line && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    if (argc < 2 || !CreateProcessW(argv[1], line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fwprintf(stderr, L"cannot start %ls: error %lu\n", argc > 1 ? argv[1] : L"(nothing)", GetLastError());
        return 125;
    }
    g_pid = process.dwProcessId;
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) EnumWindows(Look, 0);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return (int)code;
}
