/* vorlane-run's helper inside the Wine prefix.
 *
 *   vorlane-run-helper trust <certificate.der>
 *       adds the certificate to the current user's trusted roots (no prompt
 *       under Wine). Exit codes: 0 added, 2 usage, 3 file unreadable, 4 store
 *       not opened, 5 certificate refused.
 *   vorlane-run-helper run <program> [arguments...]
 *       starts the program with the rest of this command line exactly as it
 *       was given, waits for it and prints "exit code N" with the whole 32-bit
 *       code (a Linux parent sees only its low 8 bits). Exit code 125 when the
 *       program cannot be started, else the program's.
 */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>

static int Trust(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 3;
    static BYTE data[65536];
    DWORD size = 0;
    BOOL read = ReadFile(file, data, sizeof(data), &size, NULL);
    CloseHandle(file);
    if (!read || size == 0 || size == sizeof(data)) return 3;

    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (store == NULL) {
        fwprintf(stderr, L"CertOpenSystemStoreW failed: %lu\n", GetLastError());
        return 4;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, data, size,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fwprintf(stderr, L"CertAddEncodedCertificateToStore failed: %#lx\n", error);
        return 5;
    }
    return 0;
}

/* The command line after its first two words (this program and "run"), as
 * CommandLineToArgvW splits words: the program keeps its arguments' quoting. */
static wchar_t* Rest(wchar_t* line) {
    for (int word = 0; word < 2; ++word) {
        while (*line == L' ' || *line == L'\t') ++line;
        int quoted = 0;
        for (; *line != 0 && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
            if (*line == L'"') quoted = !quoted;
        }
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

static int Run(void) {
    wchar_t* command = Rest(GetCommandLineW());
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fwprintf(stderr, L"cannot start %ls (error %lu)\n", command, GetLastError());
        return 125;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    printf("exit code %ld\n", (long)(LONG)code);
    fflush(stdout);
    return (int)code;
}

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && lstrcmpW(argv[1], L"trust") == 0) return Trust(argv[2]);
    if (argc >= 3 && lstrcmpW(argv[1], L"run") == 0) return Run();
    fwprintf(stderr, L"usage: vorlane-run-helper trust <certificate.der> | run <program> [arguments...]\n");
    return 2;
}
