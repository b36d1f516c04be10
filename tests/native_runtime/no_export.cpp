// A native library that loads but lacks the runtime's init export.
extern "C" __attribute__((visibility("default"))) int VorlaneStart() { return 1; }
