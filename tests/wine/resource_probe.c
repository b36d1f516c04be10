/* Reads an image's resources through Windows' own functions, as the launcher
   and Explorer do, and prints what they return (UTF-8, key=value lines):

       resource_probe IMAGE

   string.N=TEXT for ids 4 to 8 as LoadStringW gives them (string.N.length
   the count it returns), fixed= the file and product versions of the fixed
   part, value.NAME= the StringFileInfo values in the first translation,
   icon= "width height bytes id size" per entry of the icon group MAIN with
   the size of the RT_ICON it names, pick32= the icon id Windows picks for
   32x32, and mapped=1 when the image loads as a module (relocated: this
   program holds its preferred base). Exits 1 when the image does not load
   as a data file. */
#include <windows.h>
#include <stdio.h>

typedef DWORD(WINAPI *SizeFn)(LPCWSTR, LPDWORD);
typedef BOOL(WINAPI *InfoFn)(LPCWSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI *QueryFn)(LPCVOID, LPCWSTR, LPVOID *, PUINT);

static void Put(const char *key, const wchar_t *text, int length) {
    static char out[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, length, out, sizeof out - 1, NULL, NULL);
    out[n > 0 ? n : 0] = 0;
    printf("%s=%s\n", key, out);
}

static void Versions(const wchar_t *path) {
    /* version.dll's functions, looked up so the helper links nothing more. */
    HMODULE version = LoadLibraryW(L"version.dll");
    SizeFn size = (SizeFn)(void *)GetProcAddress(version, "GetFileVersionInfoSizeW");
    InfoFn info = (InfoFn)(void *)GetProcAddress(version, "GetFileVersionInfoW");
    QueryFn query = (QueryFn)(void *)GetProcAddress(version, "VerQueryValueW");
    static const wchar_t *names[] = {L"CompanyName", L"FileDescription", L"FileVersion", L"ProductName",
                                     L"ProductVersion", L"OriginalFilename", L"LegalCopyright"};
    DWORD handle = 0, bytes = size ? size(path, &handle) : 0;
    static BYTE block[65536];
    VS_FIXEDFILEINFO *fixed = NULL;
    WORD *translation = NULL;
    UINT length = 0;
    if (bytes == 0 || bytes > sizeof block || !info(path, 0, bytes, block)) return;
    if (query(block, L"\\", (LPVOID *)&fixed, &length) && length >= sizeof *fixed) {
        printf("fixed=%u.%u.%u.%u %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
               HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
               LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
               LOWORD(fixed->dwProductVersionLS));
    }
    if (!query(block, L"\\VarFileInfo\\Translation", (LPVOID *)&translation, &length) || length < 4) return;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        wchar_t key[128];
        char label[64];
        wchar_t *text = NULL;
        swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], names[i]);
        if (query(block, key, (LPVOID *)&text, &length) && text != NULL) {
            snprintf(label, sizeof label, "value.%ls", names[i]);
            Put(label, text, -1);
        }
    }
}

int wmain(int argc, wchar_t **argv) {
    HMODULE image;
    HRSRC found;
    if (argc != 2) return 2;
    image = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == NULL) return 1;
    for (UINT id = 4; id <= 8; ++id) {
        wchar_t text[256];
        char key[32];
        int length = LoadStringW(image, id, text, 256);
        snprintf(key, sizeof key, "string.%u", id);
        Put(key, text, length);
        printf("string.%u.length=%d\n", id, length);
    }
    Versions(argv[1]);
    found = FindResourceW(image, L"MAIN", MAKEINTRESOURCEW(14)); /* RT_GROUP_ICON */
    if (found != NULL) {
        BYTE *group = (BYTE *)LockResource(LoadResource(image, found));
        WORD count = *(WORD *)(group + 4);
        for (WORD i = 0; i < count; ++i) {
            BYTE *entry = group + 6 + 14 * i;
            WORD id = *(WORD *)(entry + 12);
            HRSRC icon = FindResourceW(image, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3)); /* RT_ICON */
            printf("icon=%u %u %lu %u %lu\n", entry[0] ? entry[0] : 256, entry[1] ? entry[1] : 256,
                   (unsigned long)*(DWORD *)(entry + 8), id, icon ? (unsigned long)SizeofResource(image, icon) : 0ul);
        }
        printf("pick32=%d\n", LookupIconIdFromDirectoryEx(group, TRUE, 32, 32, LR_DEFAULTCOLOR));
    }
    FreeLibrary(image);
    printf("mapped=%d\n", LoadLibraryW(argv[1]) != NULL);
    return 0;
}
