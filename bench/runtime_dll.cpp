// The runtime library the benchmark packs: the init export returns at once, so
// a start is timed up to the hand-off and no further. bulk.S adds about 11 MB
// of x86-64 code taken from other libraries, the size of a real runtime, so the
// archive, the decoder and the checks see the bytes they would see.
#include <windows.h>

#include <cstdint>

extern "C" __declspec(dllexport) int VorlaneInit(HINSTANCE, const wchar_t*, const wchar_t*, const wchar_t*,
                                                 const wchar_t*, const wchar_t*, uint64_t, uint64_t) {
    return 0;
}
