#include "platform/sim/sim_machine.h"

using sim::Machine;
using sim::ThreadRecord;

namespace {

// The one handle value the simulated PCI mutex has, however often it is opened.
HANDLE MutexHandle() {
    static char token;
    return &token;
}

bool IsOpenMutex(HANDLE handle) {
    return handle == MutexHandle() && Machine::Current().pciMutex.openHandles > 0;
}

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
    if (t.pinnedProcessor >= 0) {
        t.processor = t.pinnedProcessor;
    } else {
        t.processor = t.affinity != 0 ? sim::LowestBit(t.affinity) : m.CurrentProcessor();
    }
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

HANDLE CreateMutexA(void*, BOOL, LPCSTR name) {
    sim::NamedMutex& mutex = Machine::Current().pciMutex;
    mutex.names.push_back(name ? name : "");
    if (mutex.refuseHandles) return nullptr;
    ++mutex.openHandles;
    return MutexHandle();
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) {
    return CreateMutexA(nullptr, 0, name);
}

BOOL ReleaseMutex(HANDLE handle) {
    sim::NamedMutex& mutex = Machine::Current().pciMutex;
    if (!IsOpenMutex(handle) || !mutex.heldByProgram) return 0;
    mutex.heldByProgram = false;
    ++mutex.releases;
    return 1;
}

namespace {

DWORD WaitForMutex(Machine& m, DWORD milliseconds) {
    sim::NamedMutex& mutex = m.pciMutex;
    mutex.waits.push_back(milliseconds);
    switch (mutex.state) {
        case sim::NamedMutex::State::kHeldByAnotherProgram:
            m.Advance(uint64_t{milliseconds} * 1000000u);
            return WAIT_TIMEOUT;
        case sim::NamedMutex::State::kAbandoned:
            // Its owner ended holding it: the waiter now owns it.
            mutex.state = sim::NamedMutex::State::kFree;
            mutex.heldByProgram = true;
            return WAIT_ABANDONED;
        case sim::NamedMutex::State::kFree:
            break;
    }
    mutex.heldByProgram = true;
    return WAIT_OBJECT_0;
}

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Machine& m = Machine::Current();
    if (IsOpenMutex(handle)) return WaitForMutex(m, milliseconds);
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
    if (IsOpenMutex(handle)) {
        --m.pciMutex.openHandles;
        return 1;
    }
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
