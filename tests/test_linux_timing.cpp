// The Linux layer's timers and threads on this machine. No test sleeps: the
// threads' routines wait only for what the test itself releases.
#include <gtest/gtest.h>

#include <sched.h>
#include <time.h>

#include <atomic>
#include <future>
#include <utility>

#include "platform/seam.h"
#include "platform/win32.h"

namespace {

int64_t NowNs(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

TEST(LinuxTiming, PerformanceCounterCountsRawMonotonicNanoseconds) {
    LARGE_INTEGER frequency{};
    EXPECT_EQ(QueryPerformanceFrequency(&frequency), 1);
    EXPECT_EQ(frequency.QuadPart, 1000000000);

    LARGE_INTEGER first{};
    LARGE_INTEGER second{};
    const int64_t before = NowNs(CLOCK_MONOTONIC_RAW);
    EXPECT_EQ(QueryPerformanceCounter(&first), 1);
    QueryPerformanceCounter(&second);
    const int64_t after = NowNs(CLOCK_MONOTONIC_RAW);
    EXPECT_LE(before, first.QuadPart);
    EXPECT_LE(first.QuadPart, second.QuadPart);
    EXPECT_LE(second.QuadPart, after);
}

TEST(LinuxTiming, TimeGetTimeIsTheMonotonicMillisecondCountIn32Bits) {
    const DWORD expected = static_cast<DWORD>(static_cast<uint64_t>(NowNs(CLOCK_MONOTONIC)) / 1000000u);
    const DWORD count = timeGetTime();
    EXPECT_LE(static_cast<DWORD>(count - expected), 1000u);
}

TEST(LinuxTiming, TheMultimediaTimerOffersOneMillisecond) {
    TIMECAPS caps{};
    ASSERT_EQ(timeGetDevCaps(&caps, sizeof caps), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_GE(caps.wPeriodMax, caps.wPeriodMin);
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_NE(timeGetDevCaps(&caps, sizeof caps - 1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_NE(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOERROR));
}

// What a routine saw; the routine waits for `go` before it ends.
struct Probe {
    std::atomic<bool> ran{false};
    std::atomic<int> cpu{-1};
    std::shared_future<void> go;
    std::promise<void> done;
};

DWORD WINAPI ProbeRoutine(LPVOID param) {
    Probe* probe = static_cast<Probe*>(param);
    probe->cpu = sched_getcpu();
    probe->ran = true;
    probe->go.wait();
    probe->done.set_value();
    return 0;
}

int LastAllowedProcessor() {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    int last = 0;
    for (int cpu = 0; cpu < 32; ++cpu) {
        if (CPU_ISSET(cpu, &set)) last = cpu;
    }
    return last;
}

TEST(LinuxTiming, ASuspendedThreadRunsPinnedOnlyOnceResumed) {
    std::promise<void> go;
    Probe probe;
    probe.go = go.get_future().share();
    go.set_value();
    const int cpu = LastAllowedProcessor();

    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ProbeRoutine, &probe, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(platform::PinThreadTo(thread, cpu));
    EXPECT_EQ(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL), 1);
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(probe.ran);

    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(probe.cpu, cpu);
    EXPECT_EQ(ResumeThread(thread), 0u);  // no longer suspended
    EXPECT_EQ(CloseHandle(thread), 1);
    EXPECT_EQ(CloseHandle(thread), 0);
}

TEST(LinuxTiming, AThreadMayOutliveItsHandle) {
    std::promise<void> go;
    Probe probe;
    probe.go = go.get_future().share();
    std::future<void> done = probe.done.get_future();

    HANDLE thread = CreateThread(nullptr, 0, ProbeRoutine, &probe, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    ResumeThread(thread);
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(CloseHandle(thread), 1);

    go.set_value();  // the routine ends after its handle is gone
    done.wait();
    EXPECT_TRUE(probe.ran);
}

TEST(LinuxTiming, BadRequestsFailAsOnWindows) {
    Probe probe;
    HANDLE thread = CreateThread(nullptr, 0, ProbeRoutine, &probe, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(platform::PinThreadTo(thread, -1));
    EXPECT_EQ(SetThreadPriority(thread, 7), 0);
    EXPECT_EQ(CloseHandle(thread), 1);  // never resumed: the routine never runs

    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_FAILED));
    EXPECT_EQ(ResumeThread(thread), static_cast<DWORD>(-1));
    EXPECT_EQ(SetThreadPriority(nullptr, 1), 0);
    EXPECT_FALSE(platform::PinThreadTo(nullptr, 0));
    EXPECT_EQ(CloseHandle(GetCurrentProcess()), 0);
    EXPECT_FALSE(probe.ran);
}

}  // namespace
