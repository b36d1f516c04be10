/* Holds a file the way another running program would, for the end-to-end tests:

       hold_file MODE PATH READY STOP

   MODE is "load" (LoadLibraryW, as a running copy of the application holds
   its runtime library), "read" (read access, read sharing), "write" (write
   access, read sharing, as a launcher in the middle of writing the library)
   or "exclusive" (read access, no sharing). Once held, the helper creates the
   file READY and waits until the file STOP exists (at most two minutes), then
   lets go. Exit status 0, or 2 when the file could not be held (the error is
   printed). */
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t **argv) {
    HMODULE module = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE ready;
    int waited;

    if (argc != 5) {
        fwprintf(stderr, L"usage: hold_file load|read|write|exclusive PATH READY STOP\n");
        return 1;
    }
    if (lstrcmpW(argv[1], L"load") == 0) {
        module = LoadLibraryW(argv[2]);
    } else if (lstrcmpW(argv[1], L"read") == 0) {
        file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    } else if (lstrcmpW(argv[1], L"write") == 0) {
        file = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    } else if (lstrcmpW(argv[1], L"exclusive") == 0) {
        file = CreateFileW(argv[2], GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    } else {
        fwprintf(stderr, L"unknown mode %ls\n", argv[1]);
        return 1;
    }
    if (module == NULL && file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"cannot hold %ls: error %lu\n", argv[2], GetLastError());
        return 2;
    }

    ready = CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);

    for (waited = 0; waited < 120000; waited += 20) {
        if (GetFileAttributesW(argv[4]) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(20);
    }
    if (module != NULL) FreeLibrary(module);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 0;
}
