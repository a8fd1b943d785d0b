// AMD core counts and APIC layout: 0x80000008's count, with the threads per core
// of 0x8000001E (Zen on) and the L2 sharing of 0x8000001D (the families before).
#include <algorithm>

#include "sysinfo/bits.h"
#include "sysinfo/topology_rules.h"

namespace topology {
namespace {

constexpr uint32_t kAmdCoreTopologyLeaf = 0x8000001Eu;

// 1 before Zen, where 0x8000001E EBX[15:8] means cores per compute unit instead,
// and wherever SMT is absent or switched off.
uint8_t ZenThreadsPerCore(CpuidRegisters& cpuid, uint8_t family) {
    if (family < kFirstZenFamily || cpuid.maxExtLeaf < kAmdCoreTopologyLeaf) return 1;
    cpuid.Query(kAmdCoreTopologyLeaf, 0, false);
    const uint8_t threads = Byte(bits(cpuid.ebx, 15, 8) + 1);
    return threads > 1 ? threads : 1;
}

// L2 caches per package from the threads sharing one, where 0x8000001D lists
// the L2 (Jaguar and Puma share one among four cores); 0 where it does not.
uint8_t L2CountFromCacheTopology(CpuidRegisters& cpuid, uint8_t threadsPerPackage) {
    if (!HasAmdCacheTopology(cpuid)) return 0;
    uint32_t sharing = 0;
    ForEachCacheOfLeaf(cpuid, kAmdCacheTopologyLeaf, [&sharing](uint32_t eax, uint32_t, uint32_t) {
        if (bits(eax, 7, 5) == 2) sharing = bits(eax, 25, 14) + 1;
    });
    if (sharing == 0) return 0;
    return Byte((threadsPerPackage + sharing - 1) / sharing);
}

}  // namespace

CoreCounts CountAmdCores(CpuidRegisters& cpuid, uint8_t family, uint8_t threadsPerPackage) {
    cpuid.Query(kAmdCoreCountLeaf, 0, false);
    const uint32_t logical = bits(cpuid.ecx, 7, 0) + 1;
    // Leaf 1's count is 8 bits and reads 255 on a package of 256 threads (an
    // EPYC 9754); leaf 11's package level, and from Zen on 0x80000008's count of
    // threads, are wider. Below 256 leaf 1 stays what it always was.
    uint16_t threads = threadsPerPackage;
    const uint32_t wider =
        std::max(family >= kFirstZenFamily ? logical : 0u, uint32_t{PackageThreadsFromTopologyLeaf(cpuid)});
    if (wider > 0xFF) threads = Count16(wider);
    const uint8_t threadsPerCore = ZenThreadsPerCore(cpuid, family);
    if (threadsPerCore > 1) {
        // With SMT, 0x80000008 counts threads, not cores; each core has its own L2.
        const uint8_t cores = Byte(logical / threadsPerCore);
        return CoreCounts{threads, threadsPerCore, cores, cores};
    }
    // Kept in 8 bits: a field of 0xFF gives 0 cores, stored as 1.
    const uint8_t cores = Byte(logical);
    // Family 0x15 modules pair two cores on one L2.
    uint8_t l2Count = (family == 0x15 && cores > 1) ? Byte(cores / 2) : cores;
    if (family < kFirstZenFamily) {
        const uint8_t shared = L2CountFromCacheTopology(cpuid, threadsPerPackage);
        if (shared != 0) l2Count = shared;
    }
    return CoreCounts{threads, 1, cores, l2Count};
}

ApicLayout LayoutFromAmdLeaf(CpuidRegisters& cpuid, bool live, uint32_t coresPerPackage, uint32_t threadsPerCore) {
    ApicLayout layout;
    cpuid.Query(1, 0, live);
    layout.apicId = Byte(bits(cpuid.ebx, 31, 24));
    // More than one thread per core only with Zen's SMT: the thread is the lowest id bit.
    layout.threadShift = WidthFor(threadsPerCore);
    layout.threadMask = MaskOfWidth(layout.threadShift);
    cpuid.Query(kAmdCoreCountLeaf, 0, live);
    uint8_t width = Byte(bits(cpuid.ecx, 15, 12));
    // A width of 0 (K8 dual-cores, or no leaf value at all) means as many bits as
    // the core count needs; taken as 0, it made the second core a second package.
    if (width == 0) width = Byte(layout.threadShift + WidthFor(coresPerPackage));
    layout.packageShift = width;
    // 8-bit difference, as with leaf 11: a width below the thread shift gives mask 0xFF.
    layout.coreMask = MaskOfWidth(Byte(width - layout.threadShift));
    return layout;
}

}  // namespace topology
