// Drives single operations of the win32 platform backend under Wine, so its
// own handling (buffer limits, 64-bit positions, the trust call) is checked
// where the real calls run. One command per run; prints "key=value" lines.
//
//   platform_probe.exe trust <path>        result, chain error bits, signer and its length
//   platform_probe.exe identity <a> <b>     whether two opens of a, and a and b, are one file
//   platform_probe.exe mapped <dll> [<b>]   the loaded library's mapped file against the held one (and b)
//   platform_probe.exe appdata <capacity>
//   platform_probe.exe size <path>          size, then the end position via SetFilePointer
//   platform_probe.exe list <folder>        one line per entry: attributes and name
//   platform_probe.exe string <id> <capacity>
//   platform_probe.exe replace <folder>    the installation's calls in turn: a folder made
//                                          inside the held one, a file written under a
//                                          new name and renamed over another by handle
#include <windows.h>
#include <psapi.h>  // PSAPI_VERSION 2: GetMappedFileNameW is kernel32's K32GetMappedFileNameW

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/platform.h"

namespace {

const char16_t* U(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; *text != 0; ++text) {
        if (*text < 0x80) {
            out += static_cast<char>(*text);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(*text));
            out += escaped;
        }
    }
    return out;
}

int Trust(const wchar_t* path) {
    if (!PlatLoadTrustServices()) {
        std::printf("load_error=%u\n", static_cast<unsigned>(PlatGetLastError()));
        return 0;
    }
    PlatFile file = PlatCreateFile(U(path), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    PlatTrustAnswer answer;
    PlatVerifyTrust(file, U(path), &answer);
    std::printf("result=%08x\n", static_cast<unsigned>(answer.result));
    std::printf("chain=%08x\n", static_cast<unsigned>(answer.chainErrors));
    std::printf("signer=%s\n", Narrow(answer.signer).c_str());
    std::printf("length=%u\n", static_cast<unsigned>(answer.signerLength));
    if (file != PLAT_INVALID_HANDLE) PlatCloseHandle(file);
    return 0;
}

// Two opens of one path, and one of another: the identities.
int Identity(const wchar_t* a, const wchar_t* b) {
    const wchar_t* paths[3] = {a, a, b};
    PlatFileId ids[3];
    for (int i = 0; i < 3; ++i) {
        PlatFile file = PlatCreateFile(U(paths[i]), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        const bool ok = file != PLAT_INVALID_HANDLE && PlatGetFileId(file, &ids[i]);
        if (file != PLAT_INVALID_HANDLE) PlatCloseHandle(file);
        if (!ok) {
            std::printf("error=%u\n", static_cast<unsigned>(PlatGetLastError()));
            return 0;
        }
    }
    auto same = [&ids](int x, int y) {
        if (ids[x].volume != ids[y].volume) return false;
        for (size_t i = 0; i < sizeof(ids[x].id); ++i) {
            if (ids[x].id[i] != ids[y].id[i]) return false;
        }
        return true;
    };
    std::printf("same=%d\nother=%d\n", same(0, 1) ? 1 : 0, same(0, 2) ? 1 : 0);
    return 0;
}

int AppData(size_t capacity) {
    char16_t buffer[4096];
    for (char16_t& c : buffer) c = u'#';
    const int32_t result = PlatGetLocalAppDataFolder(buffer, capacity);
    std::printf("result=%08x\n", static_cast<unsigned>(result));
    buffer[capacity < 4096 ? capacity : 4095] = 0;
    std::printf("path=%s\n", Narrow(buffer).c_str());
    return 0;
}

int Size(const wchar_t* path) {
    PlatFile file = PlatCreateFile(U(path), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (file == PLAT_INVALID_HANDLE) {
        std::printf("open_error=%u\n", static_cast<unsigned>(PlatGetLastError()));
        return 1;
    }
    uint64_t size = 0;
    const bool sized = PlatGetFileSizeEx(file, &size);
    std::printf("size_ok=%d\nsize=%s\n", sized ? 1 : 0, std::to_string(size).c_str());
    int32_t high = 0;
    PlatSetLastError(0);
    const uint32_t low = PlatSetFilePointer(file, 0, &high, FILE_END);
    std::printf("end_low=%u\nend_high=%d\nend_error=%u\n", static_cast<unsigned>(low), static_cast<int>(high),
                static_cast<unsigned>(PlatGetLastError()));
    // Back 16 bytes from the end, then forward by -1: both move through the high half.
    high = -1;
    const uint32_t back = PlatSetFilePointer(file, -16, &high, FILE_CURRENT);
    std::printf("back_low=%u\nback_high=%d\n", static_cast<unsigned>(back), static_cast<int>(high));
    unsigned char tail[32];
    uint32_t read = 0;
    const bool ok = PlatReadFile(file, tail, sizeof(tail), &read);
    std::printf("read_ok=%d\nread=%u\n", ok ? 1 : 0, static_cast<unsigned>(read));
    PlatCloseHandle(file);
    return 0;
}

int List(const wchar_t* folder) {
    PlatFile handle = PlatCreateFile(U(folder), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    PlatFindData data;
    PlatFind find = PlatFindFirstFileAt(handle, &data);
    if (find == PLAT_INVALID_HANDLE) {
        std::printf("find_error=%u\n", static_cast<unsigned>(PlatGetLastError()));
        if (handle != PLAT_INVALID_HANDLE) PlatCloseHandle(handle);
        return 1;
    }
    do {
        std::printf("entry=%08x %s\n", static_cast<unsigned>(data.attributes), Narrow(data.name).c_str());
    } while (PlatFindNextFile(find, &data));
    std::printf("end_error=%u\n", static_cast<unsigned>(PlatGetLastError()));
    PlatFindClose(find);
    PlatCloseHandle(handle);
    return 0;
}

int String(uint32_t id, int capacity) {
    char16_t buffer[300];
    for (char16_t& c : buffer) c = u'#';
    buffer[299] = 0;
    const int copied = PlatLoadString(nullptr, id, buffer, capacity);
    std::printf("copied=%d\n", copied);
    if (copied > 0) std::printf("text=%s\n", Narrow(buffer).c_str());
    return 0;
}

}  // namespace

void Step(const char* what, bool ok) {
    std::printf("%s=%s\n", what, ok ? "ok" : std::to_string(PlatGetLastError()).c_str());
}

int Replace(const wchar_t* path) {
    PlatFile folder = PlatCreateFile(U(path), DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    Step("folder", folder != PLAT_INVALID_HANDLE);
    bool created = false;
    PlatFile sub = PlatCreateFolderAt(folder, u"sub", DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &created);
    Step("sub", sub != PLAT_INVALID_HANDLE);
    std::printf("created=%d\n", created ? 1 : 0);
    PlatFile old = PlatCreateFileAt(sub, u"a.dll", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0);
    Step("old", old != PLAT_INVALID_HANDLE);
    if (old != PLAT_INVALID_HANDLE) PlatCloseHandle(old);
    PlatFile fresh = PlatCreateFileAt(sub, u"a.dll.1.new", GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW,
                                      FILE_FLAG_OPEN_REPARSE_POINT);
    Step("create_new", fresh != PLAT_INVALID_HANDLE);
    PlatFile again = PlatCreateFileAt(sub, u"a.dll.1.new", GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, 0);
    std::printf("create_new_again=%u\n", again == PLAT_INVALID_HANDLE ? PlatGetLastError() : 0u);
    uint32_t written = 0;
    Step("write", PlatWriteFile(fresh, "new", 3, &written) && written == 3);
    uint32_t links = 0;
    Step("links", PlatGetLinkCount(fresh, &links));
    std::printf("link_count=%u\n", links);
    Step("rename", PlatRenameByHandle(fresh, sub, u"a.dll"));
    char16_t final[1024];
    Step("final", PlatGetFinalPath(fresh, final, 1024) != 0);
    std::printf("final_path=%s\n", Narrow(final).c_str());
    for (PlatFile f : {fresh, sub, folder}) {
        if (f != PLAT_INVALID_HANDLE) PlatCloseHandle(f);
    }
    return 0;
}

bool SameId(const PlatFileId& a, const PlatFileId& b) {
    if (a.volume != b.volume) return false;
    for (size_t i = 0; i < sizeof(a.id); ++i) {
        if (a.id[i] != b.id[i]) return false;
    }
    return true;
}

// A library loaded by its final path: the file the loader mapped, opened by
// the name the system gives it, against the held file and another one.
int Mapped(const wchar_t* path, const wchar_t* other) {
    PlatFile file = PlatCreateFile(U(path), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    Step("open", file != PLAT_INVALID_HANDLE);
    char16_t final[1024];
    Step("final", PlatGetFinalPath(file, final, 1024) != 0);
    std::printf("final_path=%s\n", Narrow(final).c_str());
    const wchar_t* plain = reinterpret_cast<const wchar_t*>(final);
    if (std::wcsncmp(plain, L"\\\\?\\", 4) == 0) plain += 4;
    PlatModule module = PlatLoadLibraryEx(U(plain), LOAD_LIBRARY_SEARCH_SYSTEM32);
    Step("load", module != nullptr);
    if (module != nullptr) {
        // The name the system gives the image, which the platform call opens.
        wchar_t name[1024];
        if (GetMappedFileNameW(GetCurrentProcess(), module, name, 1024) != 0) {
            std::printf("mapped_name=%s\n", Narrow(reinterpret_cast<const char16_t*>(name)).c_str());
        }
        PlatFile mapped = PlatOpenMappedFile(module);
        Step("mapped_open", mapped != PLAT_INVALID_HANDLE);
        PlatFileId ids[3] = {};
        const bool known =
            mapped != PLAT_INVALID_HANDLE && PlatGetFileId(mapped, &ids[0]) && PlatGetFileId(file, &ids[1]);
        Step("ids", known);
        std::printf("same=%d\n", known && SameId(ids[0], ids[1]) ? 1 : 0);
        if (other != nullptr) {
            PlatFile second = PlatCreateFile(U(other), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
            const bool otherKnown = second != PLAT_INVALID_HANDLE && PlatGetFileId(second, &ids[2]);
            std::printf("other=%d\n", otherKnown && known && SameId(ids[0], ids[2]) ? 1 : 0);
            if (second != PLAT_INVALID_HANDLE) PlatCloseHandle(second);
        }
        if (mapped != PLAT_INVALID_HANDLE) PlatCloseHandle(mapped);
        PlatFreeLibrary(module);
    }
    if (file != PLAT_INVALID_HANDLE) PlatCloseHandle(file);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"mapped") == 0) return Mapped(argv[2], argc >= 4 ? argv[3] : nullptr);
    if (argc >= 3 && std::wcscmp(argv[1], L"replace") == 0) return Replace(argv[2]);
    if (argc >= 3 && std::wcscmp(argv[1], L"trust") == 0) return Trust(argv[2]);
    if (argc >= 4 && std::wcscmp(argv[1], L"identity") == 0) return Identity(argv[2], argv[3]);
    if (argc >= 3 && std::wcscmp(argv[1], L"appdata") == 0) return AppData(std::wcstoul(argv[2], nullptr, 10));
    if (argc >= 3 && std::wcscmp(argv[1], L"size") == 0) return Size(argv[2]);
    if (argc >= 3 && std::wcscmp(argv[1], L"list") == 0) return List(argv[2]);
    if (argc >= 4 && std::wcscmp(argv[1], L"string") == 0) {
        return String(static_cast<uint32_t>(std::wcstoul(argv[2], nullptr, 10)),
                      static_cast<int>(std::wcstol(argv[3], nullptr, 10)));
    }
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
