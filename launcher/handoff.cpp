#include "launcher/handoff.h"

#include "base/long_path.h"
#include "cache/remove_tree.h"
#include "cache/runtime_dir.h"
#include "base/error_box.h"
#include "launcher/launch.h"
#include "base/text.h"

namespace {

bool HasSpace(const char16_t* text) {
    for (; *text != 0; ++text) {
        if (*text == u' ') return true;
    }
    return false;
}

void Append(char16_t* out, size_t* used, const char16_t* text) {
    for (; *text != 0; ++text) out[(*used)++] = *text;
}

struct ArgvGuard {
    char16_t** argv = nullptr;
    ~ArgvGuard() {
        if (argv != nullptr) PlatLocalFree(argv);
    }
};

struct LibraryGuard {
    PlatModule module = nullptr;
    ~LibraryGuard() {
        if (module != nullptr) PlatFreeLibrary(module);
    }
};

}  // namespace

char16_t* LoadSetting(PlatModule instance, uint32_t id) {
    char16_t buffer[SETTING_CAPACITY];
    const int length = PlatLoadString(instance, id, buffer, SETTING_CAPACITY);
    if (length <= 0) return nullptr;
    buffer[length < SETTING_CAPACITY ? length : SETTING_CAPACITY - 1] = 0;
    return TextDuplicate(buffer);
}

char16_t* RebuildArgumentLine(char16_t* const* argv, int count) {
    if (argv == nullptr || count < 2) return nullptr;
    size_t capacity = 1;
    for (int i = 1; i < count; ++i) {
        capacity += TextLength(argv[i]);
        if (HasSpace(argv[i])) capacity += 2;
        if (i > 1) capacity += 1;
    }
    auto* line = static_cast<char16_t*>(PlatHeapAlloc(capacity * sizeof(char16_t)));
    if (line == nullptr) return nullptr;
    size_t used = 0;
    for (int i = 1; i < count; ++i) {
        if (HasSpace(argv[i])) {
            Append(line, &used, u"\"");
            Append(line, &used, argv[i]);
            Append(line, &used, u"\"");
        } else {
            Append(line, &used, argv[i]);
        }
        if (i + 1 < count) Append(line, &used, u" ");
    }
    line[used] = 0;
    return line;
}

void RemoveAfterRun(PlatModule instance, const char16_t* runtimeDir, bool libraryExisted, bool rootExisted) {
    HeapText removeSetting(LoadSetting(instance, SETTING_REMOVE_AFTER));
    if (removeSetting.text == nullptr || !TextEqual(removeSetting.text, u"Y")) return;
    // Only what this run put where nothing stood goes.
    if (libraryExisted) return;

    char16_t path[PATH_CAPACITY];
    if (TextFormat(path, PATH_CAPACITY, u"%s", runtimeDir)) RemoveTree(path);

    if (!rootExisted) {
        char16_t base[PATH_CAPACITY];
        if (PlatGetLocalAppDataFolder(base, PATH_CAPACITY) != 0) return;
        if (FormRuntimeRoot(base, path)) RemoveTree(path);
    }
}

int HandOff(const HandOffInput& input, CheckedLibrary* checked, RuntimeFolders* folders) {
    int code = EXIT_OK;
    {
        LibraryGuard library;
        // Its dependencies from the system folder only: nothing else is ever
        // installed beside it, so its own folder could only offer planted files.
        library.module = PlatLoadLibraryEx(input.libraryPath, LOAD_LIBRARY_SEARCH_SYSTEM32);
        // The file was held since its check so nobody could swap it; the load has returned.
        checked->Release();

        VorlaneInitFn init = nullptr;
        if (library.module != nullptr) {
            init = reinterpret_cast<VorlaneInitFn>(PlatGetProcAddress(library.module, "VorlaneInit"));
        }
        // A library without the init export did not load as the runtime.
        if (init == nullptr) {
            ShowError(u"Failed to load VorlaneStub DLL");
            code = EXIT_RUNTIME_LOAD;
        } else {
            HeapText settingA(LoadSetting(input.instance, SETTING_RUNTIME_ARG_A));
            HeapText settingB(LoadSetting(input.instance, SETTING_RUNTIME_ARG_B));

            ArgvGuard args;
            int count = 0;
            args.argv = PlatCommandLineToArgv(PlatGetCommandLine(), &count);
            if (args.argv == nullptr) count = 0;
            const char16_t* first = count >= 2 ? args.argv[1] : u"";
            HeapText line(RebuildArgumentLine(args.argv, count));

            if (settingA.text != nullptr && settingB.text != nullptr) {
                // The packaged application runs inside this call; its return value is not ours.
                init(input.instance, input.modulePath, settingA.text, settingB.text, first,
                     line.text != nullptr ? line.text : u"", input.payload.offset, input.payload.size);
            } else {
                code = EXIT_SETTING_MISSING;
            }
        }
    }
    // Held folders would keep their own removal out.
    folders->Release();
    RemoveAfterRun(input.instance, input.runtimeDir, input.libraryExisted, input.rootExisted);
    return code;
}
