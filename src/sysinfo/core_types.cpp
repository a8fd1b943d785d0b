// The kind of core each processor states: hybrid parts mix cores built for
// speed with smaller ones built for efficiency, and only each processor's own
// leaf says which it is.
#include <set>

#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"
#include "sysinfo/topology_rules.h"

namespace {

// Intel: leaf 0x1A EAX[31:24], meaningful where leaf 7 says the part is hybrid.
constexpr uint32_t kIntelCoreTypeLeaf = 0x1A;
constexpr uint32_t kIntelCore = 0x40;
constexpr uint32_t kIntelAtom = 0x20;
// AMD: 0x80000026 (extended topology), subleaf 0, EBX[31:28].
constexpr uint32_t kAmdExtendedTopologyLeaf = 0x80000026u;
constexpr uint32_t kAmdPerformance = 0;
constexpr uint32_t kAmdEfficiency = 1;

CoreType IntelCoreType(CpuidRegisters& cpuid, bool live) {
    // Without the hybrid bit leaf 0x1A may still be listed, as zeros (an i5-12400).
    if (cpuid.maxStdLeaf < kIntelCoreTypeLeaf || !topology::IsHybrid(cpuid)) return CoreType::kNotStated;
    cpuid.Query(kIntelCoreTypeLeaf, 0, live);
    switch (bits(cpuid.eax, 31, 24)) {
        case kIntelCore: return CoreType::kPerformance;
        case kIntelAtom: return CoreType::kEfficiency;
        default: return CoreType::kUnknown;
    }
}

// Every part with the leaf states a type; those with one kind of core state 0
// on every processor, so only a mix makes a hybrid.
CoreType AmdCoreType(CpuidRegisters& cpuid, bool live) {
    if (cpuid.maxExtLeaf < kAmdExtendedTopologyLeaf) return CoreType::kNotStated;
    cpuid.Query(kAmdExtendedTopologyLeaf, 0, live);
    switch (bits(cpuid.ebx, 31, 28)) {
        case kAmdPerformance: return CoreType::kPerformance;
        case kAmdEfficiency: return CoreType::kEfficiency;
        default: return CoreType::kUnknown;
    }
}

struct Kind {
    std::set<uint32_t> cores;
    uint16_t threads = 0;
};

HybridCores CountHybridCores(const CSystemInfo& info) {
    // Runs after the topology's summary, whose walked cores may have lowered the leaves' count.
    if (!info.firstPackage.MetWhatTheLeavesCount(info.threadsPerPackage, info.walkStoppedShort)) return {};
    Kind performance;
    Kind efficiency;
    for (const ProcessorEntry& p : info.processors) {
        if (!info.InFirstPackage(p)) continue;
        Kind* kind = nullptr;
        if (p.coreType == CoreType::kPerformance) {
            kind = &performance;
        } else if (p.coreType == CoreType::kEfficiency) {
            kind = &efficiency;
        } else {
            return {};  // one kind of core, or one processor whose kind is unknown
        }
        kind->cores.insert(p.apic.coreId);
        ++kind->threads;
    }
    if (performance.cores.empty() || efficiency.cores.empty()) return {};
    // Threads of one core are of one kind: ids that say otherwise are not believed.
    for (uint32_t core : performance.cores) {
        if (efficiency.cores.count(core) != 0) return {};
    }
    HybridCores counts;
    counts.performanceCores = static_cast<uint16_t>(performance.cores.size());
    counts.performanceThreads = performance.threads;
    counts.efficiencyCores = static_cast<uint16_t>(efficiency.cores.size());
    counts.efficiencyThreads = efficiency.threads;
    return counts;
}

}  // namespace

void CSystemInfo::ReadCoreType(int index) {
    ProcessorEntry* processor = EntryAt(index);
    if (processor == nullptr) return;
    const bool live = ReadsCpuidLive(index);
    if (vendor == kVendorIntel) {
        processor->coreType = IntelCoreType(cpuid, live);
    } else if (FollowsAmdTopology()) {
        processor->coreType = AmdCoreType(cpuid, live);
    } else {
        processor->coreType = CoreType::kNotStated;
    }
}

void CSystemInfo::SummarizeCoreTypes() {
    hybridCores = CountHybridCores(*this);
}
