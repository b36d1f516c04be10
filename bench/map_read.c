/* Whether checking the payload through a read-only mapping of the executable
   would beat reading it in 256 KiB pieces, as the launcher does: both ways
   bring the same bytes from the page cache into the core and fold them with
   the same cheap sum (the CRC kernel costs the same either way, so it is left
   out to show the difference). Built natively and with mingw (run under Wine)
   by bench/map_read.sh; prints the best of the rounds for each way (elapsed
   time: under Wine the process CPU clock ticks in 10 ms steps).

       map_read FILE OFFSET SIZE ROUNDS */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#endif

#define PIECE (256 * 1024)

/* Four independent lanes, so the sum runs at memory speed and the ways differ
   only in how the bytes arrive. */
static uint64_t Fold(const uint8_t* data, size_t size, uint64_t sum) {
    uint64_t lane[4] = {sum, 0, 0, 0};
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        uint64_t words[4];
        memcpy(words, data + i, 32);
        for (int k = 0; k < 4; ++k) lane[k] += words[k];
    }
    sum = lane[0] + lane[1] + lane[2] + lane[3];
    for (; i < size; ++i) sum += data[i];
    return sum;
}

#ifdef _WIN32
static uint64_t NowNs(void) {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return (uint64_t)((double)counter.QuadPart * 1e9 / (double)frequency.QuadPart);
}

static int ByReads(const wchar_t* path, uint64_t offset, uint64_t size, uint8_t* buffer, uint64_t* sum) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    SetFilePointerEx(file, at, NULL, FILE_BEGIN);
    for (uint64_t done = 0; done < size;) {
        DWORD want = (DWORD)(size - done < PIECE ? size - done : PIECE), got = 0;
        if (!ReadFile(file, buffer, want, &got, NULL) || got == 0) break;
        *sum = Fold(buffer, got, *sum);
        done += got;
    }
    CloseHandle(file);
    return 1;
}

static int ByMapping(const wchar_t* path, uint64_t offset, uint64_t size, uint64_t* sum) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    HANDLE mapping = CreateFileMappingW(file, NULL, PAGE_READONLY, 0, 0, NULL);
    int ok = 0;
    if (mapping != NULL) {
        const uint8_t* view = (const uint8_t*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        if (view != NULL) {
            *sum = Fold(view + offset, (size_t)size, *sum);
            UnmapViewOfFile(view);
            ok = 1;
        }
        CloseHandle(mapping);
    }
    CloseHandle(file);
    return ok;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    const wchar_t* path = argv[1];
    const uint64_t offset = _wcstoui64(argv[2], NULL, 10), size = _wcstoui64(argv[3], NULL, 10);
    const int rounds = _wtoi(argv[4]);
#else
static uint64_t NowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

static int ByReads(const char* path, uint64_t offset, uint64_t size, uint8_t* buffer, uint64_t* sum) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    for (uint64_t done = 0; done < size;) {
        const size_t want = (size_t)(size - done < PIECE ? size - done : PIECE);
        const ssize_t got = pread(fd, buffer, want, (off_t)(offset + done));
        if (got <= 0) break;
        *sum = Fold(buffer, (size_t)got, *sum);
        done += (uint64_t)got;
    }
    close(fd);
    return 1;
}

static int ByMapping(const char* path, uint64_t offset, uint64_t size, uint64_t* sum) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const off_t end = lseek(fd, 0, SEEK_END);
    void* view = mmap(NULL, (size_t)end, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (view == MAP_FAILED) return 0;
    *sum = Fold((const uint8_t*)view + offset, (size_t)size, *sum);
    munmap(view, (size_t)end);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    const char* path = argv[1];
    const uint64_t offset = strtoull(argv[2], NULL, 10), size = strtoull(argv[3], NULL, 10);
    const int rounds = atoi(argv[4]);
#endif
    uint8_t* buffer = (uint8_t*)malloc(PIECE);
    uint64_t bestReads = UINT64_MAX, bestMapping = UINT64_MAX, sumReads = 0, sumMapping = 0;
    for (int i = 0; i < rounds && buffer != NULL; ++i) {
        uint64_t t0 = NowNs();
        if (!ByReads(path, offset, size, buffer, &sumReads)) return 1;
        uint64_t t1 = NowNs();
        if (!ByMapping(path, offset, size, &sumMapping)) return 1;
        uint64_t t2 = NowNs();
        if (t1 - t0 < bestReads) bestReads = t1 - t0;
        if (t2 - t1 < bestMapping) bestMapping = t2 - t1;
    }
    free(buffer);
    if (sumReads != sumMapping) return 3;  /* both ways must see the same bytes */
    printf("reads_ns=%llu mapping_ns=%llu bytes=%llu\n", (unsigned long long)bestReads,
           (unsigned long long)bestMapping, (unsigned long long)size);
    return 0;
}
