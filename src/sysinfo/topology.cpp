#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"
#include "sysinfo/topology_rules.h"

using topology::ApicLayout;
using topology::Byte;
using topology::CoreCounts;
using topology::MaskOfWidth;
using topology::WidthFor;

namespace {

uint32_t ShiftRight(uint32_t value, unsigned shift) {
    return shift >= 32 ? 0 : value >> shift;
}

// Without the HTT flag leaf 1's count field is no count; other makers'
// processors may fill EBX with anything (a VIA Samuel says 112 processors and
// APIC id 0xC1). A count above the processors present gives the noise away.
bool Leaf1EbxIsNoise(uint8_t vendor, uint32_t ebx, uint32_t edx, uint32_t logicalCount) {
    return vendor != kVendorIntel && bits(edx, 28, 28) == 0 && bits(ebx, 23, 16) > logicalCount;
}

ApicLayout LayoutFromCounts(CpuidRegisters& cpuid, bool live, const CSystemInfo& info) {
    ApicLayout layout;
    cpuid.Query(1, 0, live);
    layout.apicId = Byte(bits(cpuid.ebx, 31, 24));
    if (info.threadsPerPackage <= 1) {
        // The byte is shown as read, but noise numbers no package: shifted out whole.
        if (Leaf1EbxIsNoise(info.vendor, cpuid.ebx, cpuid.edx, info.logicalCount)) layout.packageShift = 8;
        return layout;
    }
    layout.threadShift = WidthFor(info.threadsPerCore);
    layout.threadMask = MaskOfWidth(layout.threadShift);
    const uint8_t coreWidth = WidthFor(info.coresPerPackage);
    layout.coreMask = MaskOfWidth(coreWidth);
    layout.packageShift = Byte(layout.threadShift + coreWidth);
    return layout;
}

}  // namespace

// Hygon's family 0x18 is AMD's Zen under another name: the same leaves, read the same way.
bool CSystemInfo::FollowsAmdTopology() const {
    constexpr uint8_t kHygonZenFamily = 0x18;
    return vendor == kVendorAmd || (hygon != 0 && family == kHygonZenFamily);
}

void CSystemInfo::CountCores() {
    cpuid.Query(1, 0, false);
    htState = Byte(bits(cpuid.edx, 28, 28));
    uint8_t threads = Byte(bits(cpuid.ebx, 23, 16));
    if (threads == 0 || Leaf1EbxIsNoise(vendor, cpuid.ebx, cpuid.edx, logicalCount)) threads = 1;

    CoreCounts counts{};
    if (vendor == kVendorIntel) {
        counts = topology::CountIntelCores(cpuid, threads);
    } else if (FollowsAmdTopology() && cpuid.maxExtLeaf >= topology::kAmdCoreCountLeaf) {
        counts = topology::CountAmdCores(cpuid, family, threads);
    } else {
        counts = topology::CountOtherCores(cpuid, threads);
    }

    // The one place where a count that came out as 0 becomes 1.
    auto atLeastOne = [](uint16_t value) { return value == 0 ? uint16_t{1} : value; };
    threadsPerPackage = atLeastOne(counts.threadsPerPackage);
    threadsPerCore = atLeastOne(counts.threadsPerCore);
    coresPerPackage = atLeastOne(counts.coresPerPackage);
    l2Count = atLeastOne(counts.l2Count);
}

// Processor 0 is read from the leaf cache; every other one executes CPUID
// itself, on the processor the walk has pinned the process to.
void CSystemInfo::DecodeApicId(int index) {
    if (index < 0 || static_cast<size_t>(index) >= apicTable.size()) return;
    const bool live = index != 0;
    ApicLayout layout;
    // Some processors report a highest leaf of 11 or more but leaf 11 as zeros
    // (a Pentium Dual-Core T4200): every id would read 0, so the counts decide.
    if (vendor == kVendorIntel && topology::HasTopologyLeaf(cpuid)) {
        layout = topology::LayoutFromTopologyLeaf(cpuid, live);
    } else if (FollowsAmdTopology() && cpuid.maxExtLeaf >= topology::kAmdCoreCountLeaf) {
        layout = topology::LayoutFromAmdLeaf(cpuid, live, coresPerPackage, threadsPerCore);
    } else {
        layout = LayoutFromCounts(cpuid, live, *this);
    }

    // Leaf 1's byte wraps beyond 255 processors (two 96-core EPYCs reach id
    // 447); where leaf 0xB is filled in, its x2APIC id is the whole number.
    uint32_t x2ApicId = 0;
    if (topology::ReadX2ApicId(cpuid, live, &x2ApicId)) layout.apicId = x2ApicId;

    ApicEntry& entry = apicTable[static_cast<size_t>(index)];
    entry.apicId = layout.apicId;
    entry.packageId = ShiftRight(layout.apicId, layout.packageShift);
    entry.coreId = ShiftRight(layout.apicId, layout.threadShift) & layout.coreMask;
    entry.threadId = layout.apicId & layout.threadMask;
}
