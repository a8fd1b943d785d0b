#include "platform/sim/sim_machine.h"

using sim::Machine;

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = Machine::Current().perfFrequency;
    return 1;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    Machine& m = Machine::Current();
    m.Advance(m.clockReadStepNs);
    const long double ticks = static_cast<long double>(m.nowNs) * m.perfFrequency / 1e9L;
    count->QuadPart = static_cast<LONGLONG>(ticks);
    return 1;
}

MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT size) {
    const Machine& m = Machine::Current();
    if (m.devCapsResult != TIMERR_NOERROR || size < sizeof(TIMECAPS)) return m.devCapsResult ? m.devCapsResult : 1;
    *caps = m.devCaps;
    return TIMERR_NOERROR;
}

MMRESULT timeBeginPeriod(UINT period) {
    Machine::Current().beginPeriodCalls.push_back(period);
    return TIMERR_NOERROR;
}

DWORD timeGetTime() {
    Machine& m = Machine::Current();
    m.Advance(m.clockReadStepNs);
    return static_cast<DWORD>(m.timeBaseMs + m.nowNs / 1000000u);
}
