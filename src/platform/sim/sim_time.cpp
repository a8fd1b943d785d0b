#include "platform/sim/sim_machine.h"

using sim::Machine;

namespace {

template <typename T>
bool TakeScripted(std::deque<T>& script, T& value) {
    if (script.empty()) return false;
    value = script.front();
    script.pop_front();
    return true;
}

}  // namespace

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    Machine& m = Machine::Current();
    m.Trace("F");
    frequency->QuadPart = m.perfFrequency;
    return 1;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    Machine& m = Machine::Current();
    m.Advance(m.clockReadStepNs);
    m.Trace("Q");
    if (TakeScripted(m.perfCounterScript, count->QuadPart)) return 1;
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
    m.Trace("M");
    DWORD scripted = 0;
    if (TakeScripted(m.timeGetTimeScript, scripted)) return scripted;
    return static_cast<DWORD>(m.timeBaseMs + m.nowNs / 1000000u);
}
