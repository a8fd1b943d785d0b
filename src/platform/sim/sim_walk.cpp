// The walk on the simulated machine: through the Windows masks, with the
// Windows program's own code, or through processor sets of any size.
#include <algorithm>

#include "platform/shared/mask_walk.h"
#include "platform/sim/sim_machine.h"

using sim::Machine;

namespace {

// As on Windows, pinning is followed by a pause for the scheduler; virtual time moves on.
constexpr DWORD kSettleMs = 16;

bool UsesMasks() {
    return Machine::Current().walk == Machine::Walk::kWindowsMasks;
}

bool Exists(const Machine& m, int processor) {
    return processor >= 0 && static_cast<size_t>(processor) < m.processors.size();
}

}  // namespace

namespace platform {

bool PlanProcessorWalk(ProcessorWalk* walk) {
    if (UsesMasks()) return maskwalk::PlanProcessorWalk(walk);
    Machine& m = Machine::Current();
    if (m.failAffinityQuery) return false;
    walk->processors = m.AllowedProcessors();
    walk->wholeSystem = walk->processors.size() >= m.processors.size();
    walk->stoppedShort = !walk->wholeSystem;
    return true;
}

bool PinProcessTo(int processor) {
    if (UsesMasks()) return maskwalk::PinProcessTo(processor);
    Machine& m = Machine::Current();
    m.processorPins.push_back(processor);
    const std::vector<int> allowed = m.AllowedProcessors();
    if (!Exists(m, processor) || m.failingPins.count(processor) ||
        std::find(allowed.begin(), allowed.end(), processor) == allowed.end()) {
        return false;
    }
    m.pinnedProcessor = processor;
    Sleep(kSettleMs);
    return true;
}

bool RestoreProcessAffinity(const ProcessorWalk&) {
    if (UsesMasks()) return maskwalk::RestoreProcessAffinity();
    Machine& m = Machine::Current();
    ++m.affinityRestores;
    m.pinnedProcessor = -1;
    return true;
}

bool PinThreadTo(HANDLE thread, int processor) {
    if (UsesMasks()) return maskwalk::PinThreadTo(thread, processor);
    Machine& m = Machine::Current();
    for (auto& t : m.threads) {
        if (t.get() != thread) continue;
        if (m.threadFaults.failAffinity || !Exists(m, processor)) return false;
        t->pinnedProcessor = processor;
        return true;
    }
    return false;
}

}  // namespace platform
