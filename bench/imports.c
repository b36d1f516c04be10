/* The launcher's system imports alone: a GUI process with the launcher's
   manifest that initialises the common controls and asks for the local app
   data folder, as the launcher does at every start, and ends. What loading
   user32, shell32 and comctl32 6 costs under Wine, next to the trivial exe. */
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR line, int show) {
    wchar_t path[MAX_PATH];
    (void)instance;
    (void)previous;
    (void)line;
    InitCommonControls();
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, path))) return 1;
    /* Never shown: keeps user32 among the imports, as the launcher's error box does. */
    if (show == -12345) MessageBoxW(NULL, path, L"", MB_OK);
    return 0;
}
