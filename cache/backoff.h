// Waiting out a short hold. On Windows a scanner or indexer often opens a file
// that was just written or is about to be removed, for a moment; an open,
// rename or removal of the cache then meets a sharing violation or an access
// denial. Such a call is tried again after short, growing waits; a hold that
// outlasts them keeps its failure.
#pragma once

#include <cstdint>

// The waits between tries, in milliseconds: 250 in all.
constexpr uint32_t BACKOFF_WAITS[] = {10, 20, 40, 80, 100};
constexpr uint32_t BACKOFF_STEPS = sizeof(BACKOFF_WAITS) / sizeof(BACKOFF_WAITS[0]);

// One schedule, made once per start and shared by every wait of it (the
// installation, the purge, the after-run removal): a start waits 250 ms at
// most in all, however many entries are held. Once it is spent, every call
// is tried once without waiting.
struct Backoff {
    uint32_t step = 0;
};

// Whether a call that failed with error deserves another try: a sharing
// violation or access denial while the schedule has waits left; the next
// wait is taken before returning true. The last error is kept as it was.
bool WaitOutHold(Backoff* backoff, uint32_t error);

// The same for calls where an access denial is a lasting answer (a folder or
// a read-only file where a file is opened): sharing violations only.
bool WaitOutSharing(Backoff* backoff, uint32_t error);
