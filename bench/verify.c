/* The platform's own work in a warm start: the signature check asked the way
   the launcher asks it (the file held open, no UI, revocation of the whole
   chain but the root from the local cache only), then the library loaded the
   way the launcher loads it and unloaded. Timed under Wine as a whole process
   next to the trivial executable and the launcher.
   Usage: verify.exe PATH (the rest of the command line, quotes allowed). */
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

static const wchar_t* Argument(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"') ++line;
        if (*line == L'"') ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR unused, int show) {
    wchar_t path[2048];
    const wchar_t* arg = Argument(GetCommandLineW());
    int n = 0;
    (void)instance;
    (void)previous;
    (void)unused;
    (void)show;
    for (; *arg != L'\0' && n < 2047; ++arg) {
        if (*arg != L'"') path[n++] = *arg;
    }
    path[n] = L'\0';

    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 2;
    WINTRUST_FILE_INFO info;
    ZeroMemory(&info, sizeof info);
    info.cbStruct = sizeof info;
    info.pcwszFilePath = path;
    info.hFile = file;
    WINTRUST_DATA trust;
    ZeroMemory(&trust, sizeof trust);
    trust.cbStruct = sizeof trust;
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &info;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(NULL, &action, &trust);
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(NULL, &action, &trust);
    HMODULE library = LoadLibraryExW(path, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    CloseHandle(file);
    if (library == NULL) return 3;
    FreeLibrary(library);
    return result == 0 ? 0 : 1;
}
