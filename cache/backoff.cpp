#include "cache/backoff.h"

#include "platform/platform.h"

namespace {

bool WaitNext(Backoff* backoff, uint32_t error) {
    if (backoff == nullptr || backoff->step >= BACKOFF_STEPS) return false;
    PlatSleep(BACKOFF_WAITS[backoff->step++]);
    PlatSetLastError(error);
    return true;
}

}  // namespace

bool WaitOutHold(Backoff* backoff, uint32_t error) {
    return (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) && WaitNext(backoff, error);
}

bool WaitOutSharing(Backoff* backoff, uint32_t error) {
    return error == ERROR_SHARING_VIOLATION && WaitNext(backoff, error);
}
