// Linux stand-ins for the Windows timing services.
#include "platform/win32.h"

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 0;
    return 0;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = 0;
    return 0;
}

MMRESULT timeGetDevCaps(TIMECAPS*, UINT) {
    return 1;
}

MMRESULT timeBeginPeriod(UINT) {
    return TIMERR_NOERROR;
}

DWORD timeGetTime() {
    return 0;
}
