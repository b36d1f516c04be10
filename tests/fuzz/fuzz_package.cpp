// Fuzz target: a packaged file (PE headers, any bytes, the appended archive) as
// the launcher meets it. Each input is written to one file in a private folder
// under $TMPDIR (or /tmp) and goes, over the simulator's real files,
//   1. through the archive stages one by one: probe, archive search, opening,
//      payload location and check, installation into a fresh cache folder
//      (attempted even when the payload fails, for the decoders' sake), and
//   2. through the whole launch sequence, whose exit code and message must
//      agree with what the single stages found.
// The runtime library's load is refused through the backend's fault hook, so
// fuzzed bytes are never run; the signature check is answered "trusted".
// Results are checked against rules stated here from the input bytes; any
// mismatch, leaked handle or leaked heap block aborts, so libFuzzer keeps the input.
//
// The custom mutator repairs the start header's and the next header's CRCs
// after most mutations: without that nearly every mutant dies at the CRC check
// and the header parser is never reached.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "archive/package.h"
#include "archive/payload.h"
#include "cache/install.h"
#include "launcher/launch.h"
#include "base/bytes.h"
#include "base/text.h"
#include "platform/sim_control.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

const uint8_t SIGNATURE[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
// Positions examined by the archive search after the search start, with full reads.
constexpr uint64_t LAST_SEARCH_POSITION = 4222943;

struct Harness {
    std::string root;         // the private folder
    std::string exe;          // where each input is written
    std::u16string exeWide;
    std::string cache;        // the stage-by-stage installation's folder
    std::u16string cacheWide;
    std::string appData;      // the launch sequence's local application data folder
    bool trace = false;       // VORLANE_FUZZ_TRACE set: print what each input reached
};
Harness g;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_package: %s\n", what);
    std::abort();
}

bool ValidStartHeaderAt(const uint8_t* data, size_t size, size_t i) {
    return i + 32 <= size && std::memcmp(data + i, SIGNATURE, sizeof SIGNATURE) == 0 &&
           CrcCalc(data + i + 12, 20) == Le32(data + i + 8);
}

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_DP) return rmdir(path);
    return unlink(path);
}
void RemoveInside(const std::string& folder) {
    nftw(folder.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    mkdir(folder.c_str(), 0700);
}
void RemoveAtExit() { nftw(g.root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

// A run that crashed left its folder behind: remove those of processes that are gone.
void RemoveStaleFolders(const std::string& parent) {
    DIR* listing = opendir(parent.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = readdir(listing)) {
        long pid = 0;
        if (std::sscanf(entry->d_name, "vorlane-fuzz-%ld-", &pid) != 1 || pid <= 0) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        nftw((parent + "/" + entry->d_name).c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    closedir(listing);
}

bool WriteInput(const uint8_t* data, size_t size) {
    const int fd = open(g.exe.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    return done == size;
}

bool ReadNative(const std::string& path, std::vector<uint8_t>* bytes) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    uint8_t piece[4096];
    size_t n = 0;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) bytes->insert(bytes->end(), piece, piece + n);
    std::fclose(f);
    return true;
}

FaultAction RefuseLoad(PlatOp op, const char16_t*, void*) {
    FaultAction action;
    if (op == PlatOp::LoadLibraryEx) {
        action.kind = FaultAction::Fail;
        action.error = ERROR_MOD_NOT_FOUND;
    }
    return action;
}

void CheckNothingLeft(const char* stage) {
    if (PosixOpenHandleCount() != 0) {
        std::fprintf(stderr, "after %s:\n", stage);
        Fail("platform handles left open");
    }
    if (PosixLiveHeapBlocks() != 0) {
        std::fprintf(stderr, "after %s:\n", stage);
        Fail("heap blocks left allocated");
    }
}

bool EntryNamed(const CSzArEx* db, uint32_t index, const char16_t* wanted) {
    char16_t* name = nullptr;
    if (!CopyEntryName(db, index, &name)) Fail("an entry name could not be copied without any fault injected");
    const bool same = name != nullptr && TextEqual(name, wanted);
    if (name != nullptr) PlatHeapFree(name);
    return same;
}

// What the stages found, one by one.
struct Stages {
    bool probed = false;
    bool found = false;
    SRes opened = SZ_ERROR_FAIL;
    PayloadResult payload = PayloadResult::NotFound;
    bool installed = false;
    bool libraryPresent = false;
    InstalledLibrary library{};  // what the installation reported
};

void CheckArchiveStart(const uint8_t* data, size_t size, const HostImage& image, bool found, uint64_t offset) {
    // The first valid start header at or after the search start, with at least
    // one byte after it, inside the search window.
    uint64_t expected = UINT64_MAX;
    for (uint64_t i = image.searchStart; i + 32 < size && i <= image.searchStart + LAST_SEARCH_POSITION; ++i) {
        if (data[i] == SIGNATURE[0] && ValidStartHeaderAt(data, size, static_cast<size_t>(i))) {
            expected = i;
            break;
        }
    }
    if (found != (expected != UINT64_MAX)) Fail("the archive search disagrees about whether a start header exists");
    if (found && offset != expected) Fail("the archive search did not yield the first valid start header");
}

void CheckPayload(const uint8_t* data, size_t size, const CSzArEx* db, const PayloadLocation& location) {
    if (location.size == 0 || location.offset >= size || location.size > size - location.offset) {
        Fail("the payload's location does not lie in the file");
    }
    const uint32_t crc = CrcCalc(data + location.offset, static_cast<size_t>(location.size));
    for (uint32_t i = 0; i < db->NumFiles; ++i) {
        if (!EntryNamed(db, i, u"vorlane.bin") || EntrySize(db, i) != location.size) continue;
        bool defined = false;
        if (EntryCrc(db, i, &defined) == crc) return;
    }
    Fail("the payload handed on does not match any payload entry's size and CRC");
}

void CheckInstalledLibrary(const CSzArEx* db, const InstalledLibrary& reported, bool* present) {
    std::vector<uint8_t> bytes;
    *present = ReadNative(g.cache + "/VorlaneStub.dll", &bytes);
    if (!*present) {
        if (reported.known) Fail("the installation reports a library where none stands");
        return;
    }
    // Whatever stands there must be the content of a library entry: a damaged
    // or partly written file must never be left to pass for the library.
    // An empty vector has no data pointer; the SDK's kernels must not see null.
    const uint32_t crc = bytes.empty() ? 0 : CrcCalc(bytes.data(), bytes.size());
    if (reported.known && reported.crc != crc) Fail("the installation reports another CRC than the library has");
    for (uint32_t i = 0; i < db->NumFiles; ++i) {
        if (!EntryNamed(db, i, u"VorlaneStub.dll")) continue;
        bool defined = false;
        const uint32_t recorded = EntryCrc(db, i, &defined);
        if (defined ? recorded == crc : EntrySize(db, i) == bytes.size()) return;
    }
    Fail("the installed library matches no library entry");
}

Stages RunStages(const uint8_t* data, size_t size) {
    Stages s;
    Package package;
    std::memcpy(package.image.modulePath, g.exeWide.c_str(), (g.exeWide.size() + 1) * sizeof(char16_t));
    const PackageResult opened = OpenPackage(&package);
    const HostImage& image = package.image;
    if (opened.stop == PackageStop::ExeOpen) Fail("the input file does not open");
    s.probed = opened.stop != PackageStop::Probe;
    if (!s.probed) return s;
    if (image.fileSize != size) Fail("the probe reports a file size other than the input's");

    s.found = opened.stop != PackageStop::NoArchive;
    CheckArchiveStart(data, size, image, s.found, package.archiveStart);
    if (!s.found) return s;
    if (opened.stop == PackageStop::Seek) Fail("the seek to a found archive failed");
    if (opened.stop == PackageStop::ReaderMemory) Fail("the look-ahead buffer could not be allocated");

    s.opened = opened.openResult;
    if (s.opened == SZ_OK) {
        s.payload = opened.payload;
        if (s.payload == PayloadResult::Ok) CheckPayload(data, size, &package.reader.db, package.payload);

        // The installation runs whatever the payload check said: both are fuzzed.
        PosixClearMessageBoxes();
        RuntimeCache cache{};  // the runtime folder held as a start holds it
        cache.dir.Reset(PlatCreateFile(g.cacheWide.c_str(), CACHE_FOLDER_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
        TextFormat(cache.dirPath, PATH_CAPACITY, u"%s", g.cacheWide.c_str());
        TextFormat(cache.libraryPath, PATH_CAPACITY, u"%s\\%s", g.cacheWide.c_str(), LIBRARY_NAME);
        Ending ending{};
        Backoff waits;
        s.installed = InstallEntries(&package.reader, cache, InstallMode::ByCrc, &waits, &s.library, &ending);
        // An installation that ends the run says how, and with a message.
        if (!s.installed && (InfoOf(ending.outcome).exitCode != EXIT_INSTALL || ending.message[0] == 0)) {
            Fail("installation ended without an installation outcome");
        }
        if (!PosixMessageBoxes().empty()) Fail("installation showed a box itself");
        CheckInstalledLibrary(&package.reader.db, s.library, &s.libraryPresent);
    }
    return s;
}

std::u16string Formatted(const char16_t* format, int32_t value) {
    char16_t text[256];
    TextFormat(text, 256, format, value);
    return text;
}

// The launch sequence must end as the single stages predict.
void CheckLaunch(const Stages& s, int code) {
    const std::vector<PosixMessageBox>& boxes = PosixMessageBoxes();
    int expected = EXIT_RUNTIME_LOAD;
    std::u16string message = u"Failed to load VorlaneStub DLL";
    if (!s.probed) {
        expected = EXIT_PROBE;
        message = u"Cannot determine EXE size";
    } else if (!s.found) {
        expected = EXIT_NO_ARCHIVE;
        message = u"7z archive not found";
    } else if (s.opened != SZ_OK) {
        expected = EXIT_ARCHIVE_OPEN;
        message = Formatted(u"SzArEx_Open error: %d", static_cast<int32_t>(s.opened));
    } else if (s.payload != PayloadResult::Ok) {
        expected = EXIT_PAYLOAD;
        message = s.payload == PayloadResult::NotFound     ? u"Vorlane.Bin not found"
                  : s.payload == PayloadResult::OutOfRange ? u"Vorlane.Bin offset out of range"
                                                           : u"Vorlane.Bin CRC error";
        if (s.payload == PayloadResult::OutOfMemory) Fail("the payload scan ran out of memory without any fault");
    } else if (!s.installed) {
        expected = EXIT_INSTALL;
        message.clear();  // the installation's own message, checked stage by stage
    } else if (!s.libraryPresent || !s.library.known) {
        expected = EXIT_INTEGRITY;
        message.clear();
    }
    if (code != expected) {
        std::fprintf(stderr, "exit code %d, the stages predict %d\n", code, expected);
        Fail("the launch sequence's exit code disagrees with its stages");
    }
    if (boxes.size() != 1) Fail("a failed run did not show exactly one message");
    if (!message.empty() && boxes[0].text != message) Fail("the launch sequence showed another message than its stage");
    if (code == EXIT_RUNTIME_LOAD) {
        // Setting 6 is "Y" and nothing stood there before: the run removes what it made.
        struct stat st;
        if (lstat((g.appData + "/Vorlane Runtime").c_str(), &st) == 0) Fail("the after-run removal left the runtime folder");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string parent = tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp";
    RemoveStaleFolders(parent);
    std::string folder = parent + "/vorlane-fuzz-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(&folder[0]) == nullptr) Fail("no private folder in TMPDIR or /tmp");
    g.root = folder;
    g.exe = g.root + "/app.exe";
    g.exeWide = PosixWidePath(g.exe);
    g.cache = g.root + "/cache";
    g.cacheWide = PosixWidePath(g.cache);
    g.appData = g.root + "/appdata";
    g.trace = std::getenv("VORLANE_FUZZ_TRACE") != nullptr;
    mkdir(g.cache.c_str(), 0700);
    mkdir(g.appData.c_str(), 0700);
    std::atexit(RemoveAtExit);

    CrcGenerateTable();
    PosixResetControls();
    PosixSetModulePath(g.exeWide.c_str());
    PosixSetLocalAppData(PosixWidePath(g.appData).c_str());
    PosixSetCommandLine(u"app.exe \"a b\" c");
    PosixSetString(4, u"FALSE");
    PosixSetString(5, u"NO");
    PosixSetString(6, u"Y");
    PosixSetString(7, u"Vorlane");
    PosixSetTrust(0, u"Vorlane");
    PosixSetFaultHook(RefuseLoad, nullptr);
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 8 == 0) return size;  // now and then a wrong CRC, for the paths that refuse one
    for (size_t i = 0; i + 32 <= size; ++i) {
        if (std::memcmp(data + i, SIGNATURE, sizeof SIGNATURE) != 0) continue;
        const uint64_t nextOffset = Le64(data + i + 12);
        const uint64_t nextSize = Le64(data + i + 20);
        const uint64_t headerEnd = i + 32;
        uint64_t nextEnd = UINT64_MAX;
        if (nextOffset <= size - headerEnd && nextSize <= size - headerEnd - nextOffset) {
            PutLe32(data + i + 28, CrcCalc(data + headerEnd + nextOffset, static_cast<size_t>(nextSize)));
            nextEnd = headerEnd + nextOffset + nextSize;
        }
        PutLe32(data + i + 8, CrcCalc(data + i + 12, 20));
        // Now and then the file ends at an archive boundary, or one byte short of
        // it, where the search's and the decoder's end-of-file rules apply.
        if ((seed >> 3) % 8 == 0) {
            const uint64_t ends[4] = {headerEnd, headerEnd - 1, nextEnd, nextEnd - 1};
            const uint64_t cut = ends[(seed >> 6) % 4];
            if (cut < size) size = static_cast<size_t>(cut);
        }
        break;
    }
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteInput(data, size)) Fail("the input could not be written");

    const Stages stages = RunStages(data, size);
    CheckNothingLeft("the single stages");

    PosixClearMessageBoxes();
    const int code = RunLauncher(nullptr);
    CheckNothingLeft("the launch sequence");
    if (g.trace) {
        std::fprintf(stderr, "probe %d, archive %d, open %d, payload %d, install %d, library %d; exit code %d\n",
                     stages.probed, stages.found, static_cast<int>(stages.opened), static_cast<int>(stages.payload),
                     stages.installed, stages.libraryPresent, code);
    }
    CheckLaunch(stages, code);
    if (PosixLiveLocalBlocks() != 0) Fail("argument arrays left unreleased");

    RemoveInside(g.cache);
    RemoveInside(g.appData);
    return 0;
}
