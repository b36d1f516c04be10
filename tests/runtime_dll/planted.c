/* A library planted where the loader must never look. Loaded anyway, it
 * leaves a mark: an empty file "<its own name>.mark" in the folder named by
 * the environment variable VORLANE_MARK_DIR. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t folder[1024], self[1024], mark[2100];
        const DWORD n = GetEnvironmentVariableW(L"VORLANE_MARK_DIR", folder, 1024);
        const DWORD m = GetModuleFileNameW(instance, self, 1024);
        if (n > 0 && n < 1024 && m > 0 && m < 1024) {
            const wchar_t* name = self;
            for (const wchar_t* p = self; *p != 0; ++p) {
                if (*p == L'\\' || *p == L'/') name = p + 1;
            }
            wsprintfW(mark, L"%s\\%s.mark", folder, name);
            HANDLE file = CreateFileW(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    }
    return TRUE;
}
