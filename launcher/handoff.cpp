#include "launcher/handoff.h"

#include <cstring>

#include "base/names.h"
#include "base/outcome.h"
#include "base/owned.h"
#include "base/text.h"
#include "cache/runtime_dir.h"
#include "launcher/launch.h"

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

// Whether the loader mapped the held file itself, told by identity: the file
// the system names for the image, opened without following a link, has the
// held file's volume and file id. A name proves nothing: another process may
// have mapped the same file first under another name (an 8.3 name, another
// drive), and a name may lead elsewhere by now. 0, or the error that kept it
// from being told (then it counts as another file).
uint32_t CompareMappedFile(PlatModule library, PlatFile held, bool* same) {
    *same = false;
    const OwnedFile mapped(PlatOpenMappedFile(library));
    PlatFileId mappedId{};
    PlatFileId heldId{};
    if (!mapped.Valid() || !PlatGetFileId(mapped.Get(), &mappedId) || !PlatGetFileId(held, &heldId)) {
        const uint32_t error = PlatGetLastError();
        return error != 0 ? error : ERROR_INVALID_HANDLE;
    }
    *same = mappedId.volume == heldId.volume && std::memcmp(mappedId.id, heldId.id, sizeof(heldId.id)) == 0;
    return 0;
}

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

void RemoveAfterRun(PlatModule instance, RuntimeCache* cache, Backoff* waits) {
    const OwnedText removeSetting(LoadSetting(instance, SETTING_REMOVE_AFTER));
    // Only what this run put where nothing stood goes.
    if (!removeSetting.Valid() || !TextEqual(removeSetting.Get(), u"Y") || cache->libraryExisted) {
        cache->Close();
        return;
    }
    RemoveRuntimeFolders(cache, !cache->rootExisted, waits);
}

Ending HandOff(const HandOffInput& input, CheckedLibrary* checked, RuntimeCache* cache) {
    Ending ending = EndWith(Outcome::Ok);
    {
        // The loader gets the path the held file resolves to, links and all
        // resolved, so it walks no link; the mapped image is then compared with
        // the held file before anything of it is called.
        char16_t loadPath[LONG_PATH_CAPACITY];
        if (!ResolveLoadPath(*checked, loadPath, &ending)) return ending;
        // Its dependencies from the system folder only: nothing else is ever
        // installed beside it, so its own folder could only offer planted files.
        const OwnedModule library(PlatLoadLibraryEx(loadPath, LOAD_LIBRARY_SEARCH_SYSTEM32));
        if (library.Valid()) {
            bool same = false;
            const uint32_t error = CompareMappedFile(library.Get(), checked->held.Get(), &same);
            if (error != 0) return EndWith(Outcome::MappedUncomparable, error);
            if (!same) return EndWith(Outcome::MappedOther);
        }
        // The file was held since its check so nobody could swap it; it is mapped now.
        checked->Close();

        VorlaneInitFn init = nullptr;
        if (library.Valid()) {
            init = reinterpret_cast<VorlaneInitFn>(PlatGetProcAddress(library.Get(), INIT_EXPORT));
        }
        // A library without the init export did not load as the runtime.
        if (init == nullptr) {
            ending = EndWith(Outcome::RuntimeLoad);
        } else {
            const OwnedText settingA(LoadSetting(input.instance, SETTING_THIRD_ARGUMENT));
            const OwnedText settingB(LoadSetting(input.instance, SETTING_FOURTH_ARGUMENT));

            int count = 0;
            const OwnedArgv args(PlatCommandLineToArgv(PlatGetCommandLine(), &count));
            if (!args.Valid()) count = 0;
            const char16_t* first = count >= 2 ? args.Get()[1] : u"";
            const OwnedText line(RebuildArgumentLine(args.Get(), count));

            if (settingA.Valid() && settingB.Valid()) {
                // The packaged application runs inside this call; its return value is not ours.
                init(input.instance, input.modulePath, settingA.Get(), settingB.Get(), first,
                     line.Valid() ? line.Get() : u"", input.payload.offset, input.payload.size);
            } else {
                ending = EndWith(Outcome::SettingMissing);
            }
        }
    }
    RemoveAfterRun(input.instance, cache, input.waits);
    return ending;
}
