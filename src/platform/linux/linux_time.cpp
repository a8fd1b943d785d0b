// Linux stand-ins for the Windows timing services.
#include <time.h>

#include "platform/win32.h"

namespace {

// The multimedia timer's "cannot do" result.
constexpr MMRESULT kTimerCannotDo = 97;
constexpr UINT kLongestPeriodMs = 1000000;

int64_t Nanoseconds(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

// The raw monotonic clock is not slewed by time adjustments, so it counts like a hardware counter.
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1000000000;
    return 1;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = Nanoseconds(CLOCK_MONOTONIC_RAW);
    return 1;
}

// Kernel timers already have millisecond resolution: a 1 ms period needs no request.
MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT size) {
    if (caps == nullptr || size < sizeof(TIMECAPS)) return kTimerCannotDo;
    caps->wPeriodMin = 1;
    caps->wPeriodMax = kLongestPeriodMs;
    return TIMERR_NOERROR;
}

MMRESULT timeBeginPeriod(UINT period) {
    return period >= 1 && period <= kLongestPeriodMs ? TIMERR_NOERROR : kTimerCannotDo;
}

// Milliseconds of the monotonic clock, wrapping in 32 bits as the Windows count does.
DWORD timeGetTime() {
    return static_cast<DWORD>(static_cast<uint64_t>(Nanoseconds(CLOCK_MONOTONIC)) / 1000000u);
}
