// The kind of core each processor states: hybrid parts mix cores built for
// speed with smaller ones built for efficiency, and only each processor's own
// leaf says which it is.
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

}  // namespace

// Processor 0 is read from the leaf cache; every other one executes CPUID
// itself, on the processor the walk has pinned the process to.
void CSystemInfo::ReadCoreType(int index) {
    ProcessorEntry* processor = EntryAt(index);
    if (processor == nullptr) return;
    const bool live = index != 0;
    if (vendor == kVendorIntel) {
        processor->coreType = IntelCoreType(cpuid, live);
    } else if (FollowsAmdTopology()) {
        processor->coreType = AmdCoreType(cpuid, live);
    } else {
        processor->coreType = CoreType::kNotStated;
    }
}
