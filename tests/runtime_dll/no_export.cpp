// A library that loads but lacks the runtime's init export.
#include <windows.h>

extern "C" __declspec(dllexport) int VorlaneStart(void) { return 1; }
