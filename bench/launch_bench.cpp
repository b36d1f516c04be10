// The launch sequence over the simulator measured against its physical
// floors: the least work any launcher has to do for the same start, measured in
// the same run over the same bytes, so the ratios hold on a noisy machine.
//
//   vorlane_bench native --exe APP.exe --archive APP.7z --work DIR [--big-exe BIG.exe] [--reps N] [--cpu N]
//                        [--json OUT]
//   vorlane_bench child MODE ARGS...   one measured start in a fresh process (used by "native")
//
// --big-exe: the same application with a large payload, for warm starts alone.
// Warm starts run as a normal start does (the CRC kernel the dispatcher picks)
// and again with each CRC-32 kernel this CPU runs, forced.
//
// Every start runs in a process of its own, as a real start does: its heap,
// page faults and peak resident memory are those of a first run. Starts are
// pinned to one core, the same one 7zz gets. bench/run.sh builds the package
// and reads the JSON this writes.
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/file_crc.h"
#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "archive/package.h"
#include "cache/runtime_dir.h"
#include "archive/payload.h"
#include "launcher/build_config.h"
#include "launcher/launch.h"
#include "platform/sim_control.h"

namespace {

namespace fs = std::filesystem;

// The launcher's CRC checks read CHECK_PIECE_SIZE pieces; 32 KiB was their
// piece with the SDK's CRC, and the SDK-CRC floor keeps it.
constexpr size_t SDK_PIECE = 32768;
constexpr uint64_t PAYLOAD_IN_MEMORY = 64u << 20;

uint64_t NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// CPU time of this process: on a busy machine it leaves out the time other
// processes held the core, which the elapsed time does not.
uint64_t CpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// ---- what a process used ---------------------------------------------------------

// A "Key:   value" line of /proc/self/status or "key: value" of /proc/self/io.
uint64_t ProcValue(const char* file, const char* key) {
    FILE* f = std::fopen(file, "r");
    if (f == nullptr) return 0;
    char line[256];
    uint64_t value = 0;
    const size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
            value = std::strtoull(line + n + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

struct Usage {
    uint64_t hwmKb;  // peak resident set so far
    uint64_t rchar;  // bytes read by read-like calls
    uint64_t wchar;
};

Usage ReadUsage() {
    return Usage{ProcValue("/proc/self/status", "VmHWM"), ProcValue("/proc/self/io", "rchar"),
                 ProcValue("/proc/self/io", "wchar")};
}

// ---- the archive, as the parent needs to know it ------------------------------

struct ArchiveFacts {
    uint64_t exeSize = 0;
    uint64_t archiveStart = 0;
    uint64_t payloadOffset = 0;
    uint64_t payloadSize = 0;
    uint32_t payloadCrc = 0;
    uint32_t libraryIndex = 0;
    uint64_t librarySize = 0;
    uint32_t libraryCrc = 0;
    uint64_t folderUnpackSize = 0;  // the library's whole folder
    uint64_t packedSize = 0;        // its pack streams
    bool folderCrcDefined = false;  // the SDK then checks the folder too
};

bool NameIs(const CSzArEx* db, uint32_t index, const char16_t* wanted) {
    char16_t* name = nullptr;
    if (!CopyEntryName(db, index, &name) || name == nullptr) return false;
    const bool same = std::u16string(name) == wanted;
    PlatHeapFree(name);
    return same;
}

// Opens the archive through the launcher's own package opener (stages 2-8).
bool Open(const std::string& exePath, Package* a, uint64_t* archiveStart) {
    const std::u16string wide = PosixWidePath(exePath);
    if (wide.size() >= PATH_CAPACITY) return false;
    std::copy(wide.begin(), wide.end(), a->image.modulePath);
    a->image.modulePath[wide.size()] = 0;
    const bool opened = OpenPackage(a, false).stop == PackageStop::None;
    *archiveStart = a->archiveStart;
    return opened;
}

bool ReadFacts(const std::string& exePath, ArchiveFacts* facts) {
    Package a;
    if (!Open(exePath, &a, &facts->archiveStart)) return false;
    facts->exeSize = a.image.fileSize;
    const CSzArEx* db = &a.reader.db;
    bool payload = false;
    bool library = false;
    for (uint32_t i = 0; i < db->NumFiles; ++i) {
        if (NameIs(db, i, PAYLOAD_NAME)) {
            const uint32_t folder = db->FileToFolder[i];
            if (folder == 0xFFFFFFFFu) return false;
            facts->payloadOffset = db->dataPos + db->db.PackPositions[db->db.FoStartPackStreamIndex[folder]];
            facts->payloadSize = EntrySize(db, i);
            facts->payloadCrc = EntryCrc(db, i, nullptr);
            payload = true;
        } else if (NameIs(db, i, LIBRARY_NAME)) {
            const uint32_t folder = db->FileToFolder[i];
            if (folder == 0xFFFFFFFFu) return false;
            facts->libraryIndex = i;
            facts->librarySize = EntrySize(db, i);
            facts->libraryCrc = EntryCrc(db, i, nullptr);
            facts->folderUnpackSize = SzAr_GetFolderUnpackSize(&db->db, folder);
            const uint32_t first = db->db.FoStartPackStreamIndex[folder];
            const uint32_t end = db->db.FoStartPackStreamIndex[folder + 1];
            facts->packedSize = db->db.PackPositions[end] - db->db.PackPositions[first];
            facts->folderCrcDefined = SzBitWithVals_Check(&db->db.FolderCRCs, folder) != 0;
            library = true;
        }
    }
    return payload && library;
}

// ---- CRC-32 kernels ---------------------------------------------------------------

bool KernelNamed(const std::string& name, Crc32Kernel* kernel) {
    for (int k = 0; k < CRC32_KERNEL_COUNT; ++k) {
        if (name == Crc32KernelName(static_cast<Crc32Kernel>(k))) {
            *kernel = static_cast<Crc32Kernel>(k);
            return true;
        }
    }
    return false;
}

// The kernels this CPU runs, widest first.
std::vector<Crc32Kernel> RunnableKernels() {
    std::vector<Crc32Kernel> kernels;
    for (int k = 0; k < CRC32_KERNEL_COUNT; ++k) {
        if (Crc32KernelRuns(static_cast<Crc32Kernel>(k))) kernels.push_back(static_cast<Crc32Kernel>(k));
    }
    return kernels;
}

// ---- one start in this process --------------------------------------------------

void Report(const std::map<std::string, uint64_t>& values) {
    bool first = true;
    for (const auto& kv : values) {
        std::printf("%s%s=%llu", first ? "" : " ", kv.first.c_str(), static_cast<unsigned long long>(kv.second));
        first = false;
    }
    std::printf("\n");
}

// The whole launch sequence. Stages 1-14 run for real over the simulator
// (trust answered OK, as the simulator does by default); stage 15's load is
// refused by the backend, because the library is a PE image and not a shared
// object: that costs a stat and a 4-byte read, and the run ends with exit code 6
// and its error box, recorded in memory. The runtime itself is not ours to time.
// kernel, when not empty, names the CRC-32 kernel forced before the start.
int ChildLaunch(const std::string& exe, const std::string& appData, const std::string& kernel) {
    if (!kernel.empty()) {
        Crc32Kernel forced = Crc32Kernel::Table;
        if (!KernelNamed(kernel, &forced) || !Crc32ForceKernel(forced)) {
            std::fprintf(stderr, "the CRC-32 kernel %s does not run here\n", kernel.c_str());
            return 3;
        }
    }
    PosixResetControls();
    const std::u16string module = PosixWidePath(exe);
    PosixSetModulePath(module.c_str());
    PosixSetLocalAppData(PosixWidePath(appData).c_str(), 0);
    PosixSetCommandLine((u"\"" + module + u"\"").c_str());
    PosixSetString(4, u"FALSE");
    PosixSetString(5, u"NO");
    PosixSetString(6, u"N");  // keep the cache: the parent decides what the next start finds
    PosixSetString(7, VORLANE_PUBLISHER);
    // Packages carry the runtime's pin by default; VORLANE_BENCH_NO_PIN=1 times
    // a launcher without one (the CRC-32 copy pass instead). The digest is
    // handed over, not computed: hashing the file is the trust services' work,
    // which Windows does with or without a pin.
    const std::vector<uint8_t> digest(32, 0x5A);
    PosixSetTrustDigest(digest);
    if (std::getenv("VORLANE_BENCH_NO_PIN") == nullptr) {
        std::u16string pin = u"sha256:";
        for (int i = 0; i < 32; ++i) pin += u"5a";
        PosixSetString(8, pin.c_str());
    }

    const Usage before = ReadUsage();
    const uint64_t c0 = CpuNs();
    const uint64_t t0 = NowNs();
    const int code = RunLauncher(nullptr);
    const uint64_t t1 = NowNs();
    const uint64_t c1 = CpuNs();
    const Usage after = ReadUsage();

    const auto& boxes = PosixMessageBoxes();
    const bool expected = code == EXIT_RUNTIME_LOAD && boxes.size() == 1 &&
                          boxes[0].text == u"Failed to load VorlaneStub DLL";
    if (!expected) {
        std::fprintf(stderr, "launch ended with %d and %zu boxes%s%s\n", code, boxes.size(),
                     boxes.empty() ? "" : ": ", boxes.empty() ? "" : Utf16ToUtf8(boxes[0].text).c_str());
    }
    Report({{"ok", expected ? 1u : 0u},
            {"ns", t1 - t0},
            {"cpu_ns", c1 - c0},
            {"base_kb", before.hwmKb},
            {"hwm_kb", after.hwmKb},
            {"rchar", after.rchar - before.rchar},
            {"wchar", after.wchar - before.wchar},
            {"reads", PosixCallCount(PlatOp::ReadFile)},
            {"writes", PosixCallCount(PlatOp::WriteFile)},
            {"opens", PosixCallCount(PlatOp::CreateFile)},
            {"attribute_queries", PosixCallCount(PlatOp::GetFileAttributes)},
            {"heap_allocs", PosixCallCount(PlatOp::HeapAlloc)},
            {"kernel", static_cast<uint64_t>(Crc32KernelInUse())}});
    return expected ? 0 : 1;
}

// How a floor sums what it reads: the SDK's table CRC, the launcher's CRC
// (the kernel its dispatcher picks), or not at all (the plain read floor).
enum class Sum { Sdk, Launcher, None };

bool ParseSum(const std::string& name, Sum* sum) {
    if (name == "sdk") *sum = Sum::Sdk;
    else if (name == "launcher") *sum = Sum::Launcher;
    else if (name == "none") *sum = Sum::None;
    else return false;
    return true;
}

// Reads size bytes from fd's position (everything to its end when toEnd) in
// pieces of piece bytes into the running CRC (the finished value, 0 to begin);
// false on a read error or an early end.
bool CrcPieces(int fd, uint64_t size, bool toEnd, size_t piece, Sum sum, uint32_t* crc) {
    static Byte buffer[CHECK_PIECE_SIZE > SDK_PIECE ? CHECK_PIECE_SIZE : SDK_PIECE];
    if (piece > sizeof buffer) return false;
    uint64_t remaining = size;
    for (;;) {
        const size_t want = toEnd ? piece : static_cast<size_t>(std::min<uint64_t>(remaining, piece));
        if (want == 0) return true;
        const ssize_t got = read(fd, buffer, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return toEnd;
        const size_t n = static_cast<size_t>(got);
        if (sum == Sum::Sdk) *crc = CRC_GET_DIGEST(CrcUpdate(*crc ^ CRC_INIT_VAL, buffer, n));
        if (sum == Sum::Launcher) *crc = Crc32Update(*crc, buffer, n);
        if (!toEnd) remaining -= static_cast<uint64_t>(got);
    }
}

// The warm floors: the payload, then the installed library twice (a current
// start reads it for the up-to-date test and again for the copy check), read
// from the page cache in piece-byte pieces with plain system calls and summed
// as sum says. A current start cannot do less.
int ChildFloorCrc(const std::string& exe, uint64_t offset, uint64_t size, const std::string& library, size_t piece,
                  Sum sum) {
    const Usage before = ReadUsage();
    const uint64_t c0 = CpuNs();
    const uint64_t t0 = NowNs();
    CrcGenerateTable();
    uint32_t payloadCrc = 0;
    const int fd = open(exe.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) &&
              CrcPieces(fd, size, false, piece, sum, &payloadCrc);
    if (fd >= 0) close(fd);
    const uint64_t t1 = NowNs();
    const uint64_t c1 = CpuNs();
    uint32_t libraryCrc = 0;
    for (int pass = 0; pass < 2 && ok; ++pass) {
        uint32_t crc = 0;
        const int lib = open(library.c_str(), O_RDONLY | O_CLOEXEC);
        ok = lib >= 0 && CrcPieces(lib, 0, true, piece, sum, &crc) && (pass == 0 || crc == libraryCrc);
        if (lib >= 0) close(lib);
        libraryCrc = crc;
    }
    const uint64_t t2 = NowNs();
    const uint64_t c2 = CpuNs();
    const Usage after = ReadUsage();
    Report({{"ok", ok ? 1u : 0u},
            {"ns", t2 - t0},
            {"ns_payload", t1 - t0},
            {"ns_library", t2 - t1},
            {"cpu_ns", c2 - c0},
            {"cpu_ns_payload", c1 - c0},
            {"cpu_ns_library", c2 - c1},
            {"payload_crc", payloadCrc},
            {"library_crc", libraryCrc},
            {"base_kb", before.hwmKb},
            {"hwm_kb", after.hwmKb},
            {"rchar", after.rchar - before.rchar}});
    return ok ? 0 : 1;
}

// The packed bytes of a folder in memory, as the decoder's look-ahead stream:
// Look hands out the bytes in place, so the decoder reads them without a copy.
struct MemoryLookStream {
    ILookInStream vt;
    const Byte* data;
    uint64_t base;  // file offset of data[0]
    size_t size;
    size_t pos;
};

MemoryLookStream* MemOf(ILookInStreamPtr p) {
    return reinterpret_cast<MemoryLookStream*>(const_cast<ILookInStream*>(p));
}

SRes MemLook(ILookInStreamPtr p, const void** buf, size_t* size) {
    MemoryLookStream* s = MemOf(p);
    const size_t left = s->size - s->pos;
    if (*size > left) *size = left;
    *buf = s->data + s->pos;
    return SZ_OK;
}

SRes MemSkip(ILookInStreamPtr p, size_t offset) {
    MemoryLookStream* s = MemOf(p);
    s->pos += std::min(offset, s->size - s->pos);
    return SZ_OK;
}

SRes MemRead(ILookInStreamPtr p, void* buf, size_t* size) {
    MemoryLookStream* s = MemOf(p);
    const size_t n = std::min(*size, s->size - s->pos);
    std::memcpy(buf, s->data + s->pos, n);
    s->pos += n;
    *size = n;
    return SZ_OK;
}

SRes MemSeek(ILookInStreamPtr p, Int64* pos, ESzSeek origin) {
    MemoryLookStream* s = MemOf(p);
    if (origin != SZ_SEEK_SET) return SZ_ERROR_UNSUPPORTED;
    const uint64_t at = static_cast<uint64_t>(*pos);
    if (at < s->base || at - s->base > s->size) return SZ_ERROR_READ;
    s->pos = static_cast<size_t>(at - s->base);
    return SZ_OK;
}

void* FloorAlloc(ISzAllocPtr, size_t size) { return size == 0 ? nullptr : std::malloc(size); }
void FloorFree(ISzAllocPtr, void* address) { std::free(address); }

// The cold floor: the library's folder decoded by the SDK into one buffer of
// its unpack size, from its packed bytes read in one call from the page cache,
// the entry's CRC checked as the SDK's extraction does, and the bytes written
// to a new file. The archive's headers are read before the clock starts.
int ChildFloorDecode(const std::string& exe, const std::string& outPath) {
    ArchiveFacts facts;
    if (!ReadFacts(exe, &facts)) return 1;
    Package a;
    uint64_t start = 0;
    if (!Open(exe, &a, &start)) return 1;
    const CSzArEx* db = &a.reader.db;
    const uint32_t index = facts.libraryIndex;
    const uint32_t folder = db->FileToFolder[index];
    const uint64_t packBegin = db->dataPos + db->db.PackPositions[db->db.FoStartPackStreamIndex[folder]];
    const size_t packSize = static_cast<size_t>(facts.packedSize);
    const size_t unpackSize = static_cast<size_t>(facts.folderUnpackSize);
    const size_t entryOffset =
        static_cast<size_t>(db->UnpackPositions[index] - db->UnpackPositions[db->FolderToFile[folder]]);
    const int fd = open(exe.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    ISzAlloc alloc{FloorAlloc, FloorFree};

    const Usage before = ReadUsage();
    const uint64_t c0 = CpuNs();
    const uint64_t t0 = NowNs();
    auto* packed = static_cast<Byte*>(std::malloc(packSize));
    bool ok = packed != nullptr &&
              pread(fd, packed, packSize, static_cast<off_t>(packBegin)) == static_cast<ssize_t>(packSize);
    const uint64_t tRead = NowNs();
    auto* out = static_cast<Byte*>(std::malloc(unpackSize));
    MemoryLookStream stream{{MemLook, MemSkip, MemRead, MemSeek}, packed, packBegin, packSize, 0};
    ok = ok && out != nullptr &&
         SzAr_DecodeFolder(&db->db, folder, &stream.vt, db->dataPos, out, unpackSize, &alloc) == SZ_OK;
    const uint64_t tDecode = NowNs();
    const uint64_t cDecode = CpuNs();
    ok = ok && CrcCalc(out + entryOffset, static_cast<size_t>(facts.librarySize)) == facts.libraryCrc;
    const uint64_t tCrc = NowNs();
    const int w = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    size_t done = 0;
    while (ok && w >= 0 && done < facts.librarySize) {
        const ssize_t put = write(w, out + entryOffset + done, static_cast<size_t>(facts.librarySize) - done);
        if (put <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(put);
    }
    ok = ok && w >= 0 && close(w) == 0;
    std::free(out);
    std::free(packed);
    const uint64_t t1 = NowNs();
    const uint64_t c1 = CpuNs();
    const Usage after = ReadUsage();
    close(fd);
    Report({{"ok", ok ? 1u : 0u},
            {"ns", t1 - t0},
            {"ns_read", tRead - t0},
            {"ns_decode", tDecode - tRead},
            {"ns_crc", tCrc - tDecode},
            {"ns_write", t1 - tCrc},
            {"cpu_ns", c1 - c0},
            {"cpu_ns_decode", cDecode - c0},
            {"base_kb", before.hwmKb},
            {"hwm_kb", after.hwmKb},
            {"rchar", after.rchar - before.rchar},
            {"wchar", after.wchar - before.wchar}});
    return ok ? 0 : 1;
}

int Child(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[2] : "";
    if (mode == "launch" && (argc == 5 || argc == 6)) return ChildLaunch(argv[3], argv[4], argc == 6 ? argv[5] : "");
    Sum sum = Sum::None;
    if (mode == "floor-crc" && argc == 9 && ParseSum(argv[8], &sum)) {
        return ChildFloorCrc(argv[3], std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10),
                             argv[6], static_cast<size_t>(std::strtoull(argv[7], nullptr, 10)), sum);
    }
    if (mode == "floor-decode" && argc == 5) return ChildFloorDecode(argv[3], argv[4]);
    std::fprintf(stderr, "unknown child mode\n");
    return 2;
}

// ---- the parent: children, 7zz, in-process timings --------------------------------

struct Sample {
    bool ok = false;
    uint64_t wallNs = 0;     // fork to reaped, whole process
    uint64_t maxRssKb = 0;   // the child's ru_maxrss
    uint64_t cpuNs = 0;      // the child's user and system time, whole process
    std::map<std::string, uint64_t> values;  // what the child reported
};

std::string SelfPath() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "";
    buffer[n] = 0;
    return buffer;
}

void PinTo(int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Runs argv pinned to cpu (as `taskset -c cpu` does); its stdout is parsed as
// "key=value ..." when parse is set, otherwise discarded.
Sample Spawn(const std::vector<std::string>& args, int cpu, bool parse) {
    Sample sample;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return sample;
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const uint64_t t0 = NowNs();
    const pid_t pid = fork();
    if (pid == 0) {
        PinTo(cpu);
        if (parse) {
            dup2(pipeFds[1], 1);
        } else {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
        }
        close(pipeFds[0]);
        close(pipeFds[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return sample;
    sample.wallNs = NowNs() - t0;
    sample.maxRssKb = static_cast<uint64_t>(usage.ru_maxrss);
    auto nanos = [](const timeval& tv) {
        return static_cast<uint64_t>(tv.tv_sec) * 1000000000u + static_cast<uint64_t>(tv.tv_usec) * 1000u;
    };
    sample.cpuNs = nanos(usage.ru_utime) + nanos(usage.ru_stime);
    sample.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    size_t at = 0;
    while (parse && at < output.size()) {
        size_t end = output.find_first_of(" \n", at);
        if (end == std::string::npos) end = output.size();
        const std::string item = output.substr(at, end - at);
        const size_t eq = item.find('=');
        if (eq != std::string::npos) sample.values[item.substr(0, eq)] = std::strtoull(item.c_str() + eq + 1, nullptr, 10);
        at = end + 1;
    }
    if (parse && sample.values["ok"] != 1) sample.ok = false;
    return sample;
}

uint64_t Median(std::vector<uint64_t> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// In-process timings in CPU time (every byte comes from the page cache, so
// nothing is waited for), the page cache warm, medians of repeated runs.
struct Micro {
    uint64_t probeSearchOpenNs = 0;  // stages 2-8: open, probe, search, open the archive
    uint64_t searchOpenNs = 0;       // stages 5-8 alone
    uint64_t payloadCheckNs = 0;     // stage 9: LocateAndCheckPayload
    uint64_t payloadFloorNs = 0;     // read() + the launcher's CRC over the same bytes, same pieces
    uint64_t libraryCrcNs = 0;       // open + HandleCrc of the installed library, through a run's buffer
    uint64_t libraryFloorNs = 0;     // read() + the launcher's CRC over it
    uint64_t sdkCrcMemoryNs = 0;     // the SDK's CrcUpdate over a hot 32 KiB buffer, per 32 KiB
    uint64_t sdkCrcPayloadNs = 0;    // the SDK's CrcCalc over the payload's bytes in memory, in one call
    uint64_t sdkCrcPayloadBytes = 0; // how many: the payload, at most PAYLOAD_IN_MEMORY
    uint64_t crcMemoryNs = 0;        // the launcher's CRC over a hot piece-sized buffer, per piece
    uint64_t kernelMemoryNs[CRC32_KERNEL_COUNT] = {};  // the same with each kernel forced (0: not run here)
};

bool RunMicro(const std::string& exe, const std::string& library, const ArchiveFacts& facts, Micro* m) {
    std::vector<uint64_t> whole, search, payload, payloadFloor, lib, libFloor, sdkMemory, memory;
    for (int i = 0; i < 301; ++i) {
        const uint64_t t0 = CpuNs();
        Package a;
        uint64_t start = 0;
        if (!Open(exe, &a, &start)) return false;
        const uint64_t t2 = CpuNs();
        const uint64_t t1 = t0;  // the opener runs stages 2-8 as one: the target is judged on all of them
        whole.push_back(t2 - t0);
        search.push_back(t2 - t1);
    }

    Package a;
    uint64_t start = 0;
    if (!Open(exe, &a, &start)) return false;
    const std::u16string libraryWide = PosixWidePath(library);
    for (int i = 0; i < 9; ++i) {
        PayloadLocation location{};
        uint64_t t0 = CpuNs();
        if (LocateAndCheckPayload(&a.reader, a.exe.Get(), a.image.fileSize, &location) != PayloadResult::Ok) return false;
        payload.push_back(CpuNs() - t0);

        const int fd = open(exe.c_str(), O_RDONLY | O_CLOEXEC);
        t0 = CpuNs();
        uint32_t crc = 0;
        if (fd < 0 || lseek(fd, static_cast<off_t>(facts.payloadOffset), SEEK_SET) < 0 ||
            !CrcPieces(fd, facts.payloadSize, false, CHECK_PIECE_SIZE, Sum::Launcher, &crc)) {
            return false;
        }
        payloadFloor.push_back(CpuNs() - t0);
        close(fd);

        t0 = CpuNs();
        {
            OwnedFile held;
            uint32_t found = 0;
            if (!OpenLongFile(&held, libraryWide.c_str(), nullptr) ||
                !HandleCrc(held.Get(), &found, nullptr, &a.reader.check) || found != facts.libraryCrc) {
                return false;
            }
        }
        lib.push_back(CpuNs() - t0);

        const int l = open(library.c_str(), O_RDONLY | O_CLOEXEC);
        t0 = CpuNs();
        crc = 0;
        if (l < 0 || !CrcPieces(l, 0, true, CHECK_PIECE_SIZE, Sum::Launcher, &crc)) return false;
        libFloor.push_back(CpuNs() - t0);
        close(l);
    }
    // The payload check next to a plain CRC of the same bytes already in memory
    // (too large for any cache): what reading them in place costs on top.
    std::vector<Byte> inMemory(static_cast<size_t>(std::min<uint64_t>(facts.payloadSize, PAYLOAD_IN_MEMORY)));
    {
        const int fd = open(exe.c_str(), O_RDONLY | O_CLOEXEC);
        const off_t at = static_cast<off_t>(facts.payloadOffset);
        const ssize_t got = fd >= 0 ? pread(fd, inMemory.data(), inMemory.size(), at) : -1;
        const bool read = got == static_cast<ssize_t>(inMemory.size());
        if (fd >= 0) close(fd);
        if (!read) return false;
    }
    std::vector<uint64_t> sdkPayload;
    for (int i = 0; i < 9; ++i) {
        const uint64_t t0 = CpuNs();
        const UInt32 sdk = CrcCalc(inMemory.data(), inMemory.size());
        sdkPayload.push_back(CpuNs() - t0);
        if (sdk == 1) inMemory[0] ^= 1;  // keep the call
    }
    static Byte hot[CHECK_PIECE_SIZE];
    for (size_t i = 0; i < sizeof hot; ++i) hot[i] = static_cast<Byte>(i * 131u + 7u);
    for (int i = 0; i < 101; ++i) {
        uint64_t t0 = CpuNs();
        UInt32 sdk = CRC_INIT_VAL;
        for (int k = 0; k < 64; ++k) sdk = CrcUpdate(sdk, hot, SDK_PIECE);
        sdkMemory.push_back((CpuNs() - t0) / 64);
        t0 = CpuNs();
        uint32_t crc = 0;
        for (int k = 0; k < 64; ++k) crc = Crc32Update(crc, hot, CHECK_PIECE_SIZE);
        memory.push_back((CpuNs() - t0) / 64);
        if (crc == 1 || sdk == 1) hot[0] ^= 1;  // keep the loops
    }
    m->probeSearchOpenNs = Median(whole);
    m->searchOpenNs = Median(search);
    m->payloadCheckNs = Median(payload);
    m->payloadFloorNs = Median(payloadFloor);
    m->libraryCrcNs = Median(lib);
    m->libraryFloorNs = Median(libFloor);
    m->sdkCrcMemoryNs = Median(sdkMemory);
    m->sdkCrcPayloadNs = Median(sdkPayload);
    m->sdkCrcPayloadBytes = inMemory.size();
    m->crcMemoryNs = Median(memory);

    const Crc32Kernel picked = Crc32KernelInUse();
    for (const Crc32Kernel kernel : RunnableKernels()) {
        if (!Crc32ForceKernel(kernel)) return false;
        std::vector<uint64_t> forced;
        for (int i = 0; i < 101; ++i) {
            const uint64_t t0 = CpuNs();
            uint32_t crc = 0;
            for (int k = 0; k < 64; ++k) crc = Crc32Update(crc, hot, CHECK_PIECE_SIZE);
            forced.push_back((CpuNs() - t0) / 64);
            if (crc == 1) hot[0] ^= 1;
        }
        m->kernelMemoryNs[static_cast<int>(kernel)] = Median(forced);
    }
    return Crc32ForceKernel(picked);
}

// ---- JSON --------------------------------------------------------------------------

void JsonSeries(FILE* f, const char* name, const std::vector<Sample>& samples, bool last) {
    std::map<std::string, std::vector<uint64_t>> series;
    for (const Sample& s : samples) {
        series["wall_ns"].push_back(s.wallNs);
        series["maxrss_kb"].push_back(s.maxRssKb);
        series["wall_cpu_ns"].push_back(s.cpuNs);
        for (const auto& kv : s.values) series[kv.first].push_back(kv.second);
    }
    std::fprintf(f, "    \"%s\": {", name);
    bool first = true;
    for (const auto& kv : series) {
        std::fprintf(f, "%s\n      \"%s\": [", first ? "" : ",", kv.first.c_str());
        for (size_t i = 0; i < kv.second.size(); ++i) {
            std::fprintf(f, "%s%llu", i == 0 ? "" : ", ", static_cast<unsigned long long>(kv.second[i]));
        }
        std::fprintf(f, "]");
        first = false;
    }
    std::fprintf(f, "\n    }%s\n", last ? "" : ",");
}

struct Options {
    std::string exe, archive, work, json, bigExe;
    int reps = 15;
    int cpu = 0;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--exe") o->exe = value;
        else if (key == "--archive") o->archive = value;
        else if (key == "--work") o->work = value;
        else if (key == "--json") o->json = value;
        else if (key == "--big-exe") o->bigExe = value;
        else if (key == "--reps") o->reps = std::atoi(value.c_str());
        else if (key == "--cpu") o->cpu = std::atoi(value.c_str());
        else return false;
    }
    return !o->exe.empty() && !o->archive.empty() && !o->work.empty() && o->reps > 0;
}

void Progress(const char* what, int i, int n) {
    std::fprintf(stderr, "\r  %-24s %3d/%d", what, i, n);
    if (i == n) std::fprintf(stderr, "\n");
}

int Native(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fprintf(stderr,
                     "usage: vorlane_bench native --exe APP.exe --archive APP.7z --work DIR [--big-exe BIG.exe] "
                     "[--reps N] [--cpu N] [--json OUT]\n");
        return 2;
    }
    ArchiveFacts facts;
    if (!ReadFacts(o.exe, &facts)) {
        std::fprintf(stderr, "cannot read the archive of %s\n", o.exe.c_str());
        return 1;
    }
    const std::string self = SelfPath();
    const fs::path work = fs::absolute(o.work);
    const fs::path appData = work / "appdata";
    const fs::path runtimeRoot = appData / "Vorlane Runtime";
    const fs::path library = runtimeRoot / "202600" / "VorlaneStub.dll";
    const fs::path floorOut = work / "floor-out" / "VorlaneStub.dll";
    const fs::path sevenOut = work / "7zz-out";
    std::error_code ec;
    fs::create_directories(appData, ec);
    fs::create_directories(floorOut.parent_path(), ec);

    const std::vector<std::string> launch = {self, "child", "launch", o.exe, appData.string()};
    auto floor = [&self](const std::string& exe, const ArchiveFacts& f, const fs::path& lib, size_t piece,
                         const char* sum) {
        return std::vector<std::string>{self, "child", "floor-crc", exe, std::to_string(f.payloadOffset),
                                        std::to_string(f.payloadSize), lib.string(), std::to_string(piece), sum};
    };
    const std::vector<std::string> floorSdk = floor(o.exe, facts, library, SDK_PIECE, "sdk");
    const std::vector<std::string> floorCrc = floor(o.exe, facts, library, CHECK_PIECE_SIZE, "launcher");
    const std::vector<std::string> floorRead = floor(o.exe, facts, library, CHECK_PIECE_SIZE, "none");

    // The large payload: warm starts over a cache of their own, and their floors.
    const bool big = !o.bigExe.empty();
    ArchiveFacts bigFacts;
    if (big && !ReadFacts(o.bigExe, &bigFacts)) {
        std::fprintf(stderr, "cannot read the archive of %s\n", o.bigExe.c_str());
        return 1;
    }
    const fs::path bigAppData = work / "appdata-big";
    const fs::path bigLibrary = bigAppData / "Vorlane Runtime" / "202600" / "VorlaneStub.dll";
    fs::create_directories(bigAppData, ec);
    const std::vector<std::string> bigLaunch = {self, "child", "launch", o.bigExe, bigAppData.string()};
    const std::vector<std::string> bigFloorCrc = floor(o.bigExe, bigFacts, bigLibrary, CHECK_PIECE_SIZE, "launcher");
    const std::vector<std::string> bigFloorRead = floor(o.bigExe, bigFacts, bigLibrary, CHECK_PIECE_SIZE, "none");
    // The same warm starts with each kernel this CPU runs, forced.
    const std::vector<Crc32Kernel> kernels = RunnableKernels();
    std::vector<std::vector<std::string>> kernelLaunch, bigKernelLaunch;
    for (const Crc32Kernel kernel : kernels) {
        std::vector<std::string> args = launch;
        args.push_back(Crc32KernelName(kernel));
        kernelLaunch.push_back(args);
        args = bigLaunch;
        args.push_back(Crc32KernelName(kernel));
        bigKernelLaunch.push_back(args);
    }
    std::vector<std::vector<Sample>> kernelWarm(kernels.size()), bigKernelWarm(kernels.size());
    const std::vector<std::string> floorDecode = {self, "child", "floor-decode", o.exe, floorOut.string()};
    const std::vector<std::string> sevenZip = {"7zz", "x", "-y", "-bd", "-o" + sevenOut.string(), o.archive,
                                               "VorlaneStub.dll"};

    std::vector<Sample> cold, warm, sdkFloor, crcFloor, readFloor, decodeFloor, seven, bigWarm, bigCrcFloor,
        bigReadFloor;
    bool ok = true;
    auto keep = [&ok](std::vector<Sample>* into, Sample s, const char* what, bool record) {
        if (!s.ok) {
            std::fprintf(stderr, "\n%s failed\n", what);
            ok = false;
        }
        if (record) into->push_back(s);
    };
    // Round 0 warms the page cache and is not recorded; every round then takes
    // one sample of each, so slow spells of the machine hit all of them alike.
    for (int round = 0; round <= o.reps && ok; ++round) {
        const bool record = round > 0;
        Progress("native starts", round, o.reps);
        fs::remove_all(runtimeRoot, ec);
        keep(&cold, Spawn(launch, o.cpu, true), "cold start", record);
        keep(&warm, Spawn(launch, o.cpu, true), "warm start", record);
        keep(&sdkFloor, Spawn(floorSdk, o.cpu, true), "SDK-CRC floor", record);
        keep(&crcFloor, Spawn(floorCrc, o.cpu, true), "CRC floor", record);
        keep(&readFloor, Spawn(floorRead, o.cpu, true), "read floor", record);
        for (size_t k = 0; k < kernels.size(); ++k) {
            keep(&kernelWarm[k], Spawn(kernelLaunch[k], o.cpu, true), "warm start, kernel forced", record);
        }
        if (big) {
            // Round 0 installs the library for the warm starts after it.
            keep(&bigWarm, Spawn(bigLaunch, o.cpu, true), "large payload, warm start", record);
            keep(&bigCrcFloor, Spawn(bigFloorCrc, o.cpu, true), "large payload, CRC floor", record);
            keep(&bigReadFloor, Spawn(bigFloorRead, o.cpu, true), "large payload, read floor", record);
            for (size_t k = 0; k < kernels.size(); ++k) {
                keep(&bigKernelWarm[k], Spawn(bigKernelLaunch[k], o.cpu, true),
                     "large payload, warm start, kernel forced", record);
            }
        }
        fs::remove(floorOut, ec);
        keep(&decodeFloor, Spawn(floorDecode, o.cpu, true), "decode-and-write floor", record);
        fs::remove_all(sevenOut, ec);
        keep(&seven, Spawn(sevenZip, o.cpu, false), "7zz x", record);
        if (ok && fs::file_size(sevenOut / "VorlaneStub.dll", ec) != facts.librarySize) {
            std::fprintf(stderr, "\n7zz x did not extract the library\n");
            ok = false;
        }
    }
    if (!ok) return 1;
    for (const auto* samples : {&sdkFloor, &crcFloor, &bigCrcFloor}) {
        const ArchiveFacts& f = samples == &bigCrcFloor ? bigFacts : facts;
        for (const Sample& s : *samples) {
            if (s.values.at("payload_crc") != f.payloadCrc || s.values.at("library_crc") != f.libraryCrc) {
                std::fprintf(stderr, "a CRC floor summed other bytes than the archive records\n");
                return 1;
            }
        }
    }

    std::fprintf(stderr, "  in-process timings\n");
    PinTo(o.cpu);
    Micro micro;
    if (!RunMicro(o.exe, library.string(), facts, &micro)) {
        std::fprintf(stderr, "in-process timings failed\n");
        return 1;
    }

    FILE* f = o.json.empty() ? stdout : std::fopen(o.json.c_str(), "w");
    if (f == nullptr) return 1;
    std::fprintf(f, "{\n  \"facts\": {\"exe_size\": %llu, \"archive_start\": %llu, \"payload_offset\": %llu, "
                    "\"payload_size\": %llu, \"library_size\": %llu, \"folder_unpack_size\": %llu, "
                    "\"packed_size\": %llu, \"folder_crc_defined\": %s, \"reps\": %d, \"cpu\": %d},\n",
                 static_cast<unsigned long long>(facts.exeSize), static_cast<unsigned long long>(facts.archiveStart),
                 static_cast<unsigned long long>(facts.payloadOffset),
                 static_cast<unsigned long long>(facts.payloadSize),
                 static_cast<unsigned long long>(facts.librarySize),
                 static_cast<unsigned long long>(facts.folderUnpackSize),
                 static_cast<unsigned long long>(facts.packedSize), facts.folderCrcDefined ? "true" : "false", o.reps,
                 o.cpu);
    std::fprintf(f, "  \"big\": {\"payload_size\": %llu},\n", static_cast<unsigned long long>(bigFacts.payloadSize));
    std::fprintf(f, "  \"micro\": {\"probe_search_open_ns\": %llu, \"search_open_ns\": %llu, "
                    "\"payload_check_ns\": %llu, \"payload_floor_ns\": %llu, \"library_crc_ns\": %llu, "
                    "\"library_floor_ns\": %llu, \"sdk_crc_memory_32k_ns\": %llu, \"crc_memory_piece_ns\": %llu, "
                    "\"sdk_crc_payload_memory_ns\": %llu, \"sdk_crc_payload_memory_bytes\": %llu, \"piece\": %zu},\n",
                 static_cast<unsigned long long>(micro.probeSearchOpenNs),
                 static_cast<unsigned long long>(micro.searchOpenNs),
                 static_cast<unsigned long long>(micro.payloadCheckNs),
                 static_cast<unsigned long long>(micro.payloadFloorNs),
                 static_cast<unsigned long long>(micro.libraryCrcNs),
                 static_cast<unsigned long long>(micro.libraryFloorNs),
                 static_cast<unsigned long long>(micro.sdkCrcMemoryNs),
                 static_cast<unsigned long long>(micro.crcMemoryNs),
                 static_cast<unsigned long long>(micro.sdkCrcPayloadNs),
                 static_cast<unsigned long long>(micro.sdkCrcPayloadBytes), CHECK_PIECE_SIZE);
    // Which kernel a normal start picks, and the forced ones' series are
    // warm_kernel_NAME and big_warm_kernel_NAME.
    std::fprintf(f, "  \"kernels\": {\"picked\": \"%s\", \"memory_piece_ns\": {",
                 Crc32KernelName(Crc32PickKernel()));
    for (size_t k = 0; k < kernels.size(); ++k) {
        std::fprintf(f, "%s\"%s\": %llu", k == 0 ? "" : ", ", Crc32KernelName(kernels[k]),
                     static_cast<unsigned long long>(micro.kernelMemoryNs[static_cast<int>(kernels[k])]));
    }
    std::fprintf(f, "}},\n");
    std::fprintf(f, "  \"samples\": {\n");
    JsonSeries(f, "cold", cold, false);
    JsonSeries(f, "warm", warm, false);
    JsonSeries(f, "floor_sdk_crc", sdkFloor, false);
    JsonSeries(f, "floor_crc", crcFloor, false);
    JsonSeries(f, "floor_read", readFloor, false);
    JsonSeries(f, "big_warm", bigWarm, false);
    JsonSeries(f, "big_floor_crc", bigCrcFloor, false);
    JsonSeries(f, "big_floor_read", bigReadFloor, false);
    for (size_t k = 0; k < kernels.size(); ++k) {
        const std::string name = Crc32KernelName(kernels[k]);
        JsonSeries(f, ("warm_kernel_" + name).c_str(), kernelWarm[k], false);
        JsonSeries(f, ("big_warm_kernel_" + name).c_str(), bigKernelWarm[k], false);
    }
    JsonSeries(f, "floor_decode_write", decodeFloor, false);
    JsonSeries(f, "sevenzip_x", seven, true);
    std::fprintf(f, "  }\n}\n");
    if (f != stdout) std::fclose(f);
    fs::remove_all(runtimeRoot, ec);
    fs::remove_all(bigAppData, ec);
    fs::remove_all(floorOut.parent_path(), ec);
    fs::remove_all(sevenOut, ec);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "child") return Child(argc, argv);
    if (command == "native") return Native(argc, argv);
    std::fprintf(stderr, "usage: vorlane_bench native ... | child MODE ...\n");
    return 2;
}
