#include "platform/sim/sim_machine.h"

using sim::Machine;
using sim::ThreadRecord;

namespace {

ThreadRecord* Find(HANDLE handle) {
    for (auto& t : Machine::Current().threads) {
        if (t.get() == handle) return t.get();
    }
    return nullptr;
}

// The routine runs on the simulated processor of the thread's affinity.
void Run(ThreadRecord& t) {
    Machine& m = Machine::Current();
    const int saved = m.runningThreadProcessor;
    t.processor = t.affinity != 0 ? sim::LowestBit(t.affinity) : m.CurrentProcessor();
    m.runningThreadProcessor = t.processor;
    t.routine(t.param);
    m.runningThreadProcessor = saved;
    t.finished = true;
}

}  // namespace

HANDLE CreateThread(void*, size_t, LPTHREAD_START_ROUTINE routine, LPVOID param, DWORD flags, DWORD* threadId) {
    Machine& m = Machine::Current();
    if (m.threadFaults.failCreate) return nullptr;
    auto record = std::make_unique<ThreadRecord>();
    record->routine = routine;
    record->param = param;
    record->flags = flags;
    ThreadRecord* t = record.get();
    m.threads.push_back(std::move(record));
    if (threadId) *threadId = static_cast<DWORD>(m.threads.size());
    if ((flags & CREATE_SUSPENDED) == 0) {
        t->started = true;
        Run(*t);
    }
    return t;
}

DWORD_PTR SetThreadAffinityMask(HANDLE handle, DWORD_PTR mask) {
    Machine& m = Machine::Current();
    ThreadRecord* t = Find(handle);
    if (t == nullptr || m.threadFaults.failAffinity || (mask & ~m.systemMask) != 0 || mask == 0) return 0;
    const DWORD_PTR previous = t->affinity != 0 ? t->affinity : m.systemMask;
    t->affinity = mask;
    return previous;
}

BOOL SetThreadPriority(HANDLE handle, int priority) {
    ThreadRecord* t = Find(handle);
    if (t == nullptr || Machine::Current().threadFaults.failPriority) return 0;
    t->priority = priority;
    return 1;
}

DWORD ResumeThread(HANDLE handle) {
    Machine& m = Machine::Current();
    ThreadRecord* t = Find(handle);
    if (t == nullptr || m.threadFaults.failResume) return static_cast<DWORD>(-1);
    if (t->started) return 0;
    t->started = true;
    if (!m.threadFaults.finishAfterTimeout) Run(*t);
    return 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Machine& m = Machine::Current();
    ThreadRecord* t = Find(handle);
    if (t == nullptr) return WAIT_FAILED;
    t->waits.push_back(milliseconds);
    if (t->finished) {
        m.RunLateThreads();
        return WAIT_OBJECT_0;
    }
    m.Advance(uint64_t{milliseconds} * 1000000u);
    return WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
    Machine& m = Machine::Current();
    ThreadRecord* t = Find(handle);
    if (t == nullptr || t->closed) return 0;
    t->closed = true;
    // A late thread finishes only after its caller gave up on it and let go of the handle.
    if (t->started && !t->finished) {
        if (m.threadFaults.finishDuringNextWait) {
            m.lateThreads.push_back(t);
        } else {
            Run(*t);
        }
    }
    return 1;
}

namespace sim {

void Machine::RunLateThreads() {
    std::vector<ThreadRecord*> late;
    late.swap(lateThreads);
    for (ThreadRecord* t : late) Run(*t);
}

}  // namespace sim
