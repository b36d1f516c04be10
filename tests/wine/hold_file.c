/* Holds a file the way another running program would, for the end-to-end tests:

       hold_file MODE PATH READY STOP [WHEN SIZE MS]

   MODE is "load" (LoadLibraryW, as a running copy of the application holds
   its runtime library), "read" (read access, read sharing), "write" (write
   access, read sharing, as a launcher in the middle of writing the library)
   or "exclusive" (read access, no sharing). Once held, the helper creates the
   file READY and waits until the file STOP exists (at most two minutes), then
   lets go. Exit status 0, or 2 when the file could not be held (the error is
   printed).

   With WHEN (a path whose last part may hold wildcards), SIZE and MS, the hold
   is timed by another program's work: READY then tells that the helper is
   watching; the hold is taken as soon as a file matching WHEN exists, and let
   go MS milliseconds after that file reached SIZE bytes or went away (or at
   STOP). A launcher writing WHEN before it replaces PATH so meets the hold at
   the replacement, for about MS milliseconds. Exit status 3 when no such file
   appeared before STOP. */
#include <windows.h>
#include <stdio.h>

static int Exists(const wchar_t *path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

/* The size of the first file matching pattern, or -1 when none does. */
static LONGLONG MatchSize(const wchar_t *pattern) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) return -1;
    FindClose(find);
    return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

int wmain(int argc, wchar_t **argv) {
    HMODULE module = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE ready;
    int waited;
    LONGLONG size = 0;
    LONGLONG found;

    if (argc != 5 && argc != 8) {
        fwprintf(stderr, L"usage: hold_file load|read|write|exclusive PATH READY STOP [WHEN SIZE MS]\n");
        return 1;
    }
    if (argc == 8) {
        /* READY tells it is watching: the other program may start. */
        ready = CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
        size = _wtoi64(argv[6]);
        while (MatchSize(argv[5]) < 0) {
            if (Exists(argv[4])) return 3;
            Sleep(1);
        }
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

    if (argc == 8) {
        while ((found = MatchSize(argv[5])) >= 0 && found < size && !Exists(argv[4])) Sleep(1);
        DWORD since = GetTickCount();
        while (GetTickCount() - since < (DWORD)_wtoi(argv[7]) && !Exists(argv[4])) Sleep(1);
    } else {
        ready = CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
        for (waited = 0; waited < 120000; waited += 20) {
            if (Exists(argv[4])) break;
            Sleep(20);
        }
    }
    if (module != NULL) FreeLibrary(module);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 0;
}
