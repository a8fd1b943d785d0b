// Core counts from leaf 4 and leaf 11: Intel's, and those of other makers whose
// leaf 11 is filled in; the APIC layout that leaf 11 gives.
#include <initializer_list>

#include "sysinfo/bits.h"
#include "sysinfo/topology_rules.h"

namespace topology {
namespace {

constexpr uint32_t kTopologyLeaf = 11;

// What leaf 4 says about the first two cache levels; the last descriptor of a level wins.
struct CacheSharing {
    uint8_t level1Threads = 1;  // S1
    uint8_t level2Threads = 1;  // S2
    uint8_t cores = 1;          // K
    bool hasLevel2 = false;
};

CacheSharing ReadCacheSharing(CpuidRegisters& cpuid) {
    CacheSharing sharing;
    ForEachLeaf4Cache(cpuid, [&sharing](uint32_t eax, uint32_t, uint32_t) {
        // The sharing field is 12 bits wide; plus one and kept in 8 bits, 0xFFF wraps to 0.
        const uint8_t threads = Byte(bits(eax, 25, 14) + 1);
        const uint32_t level = bits(eax, 7, 5);
        if (level == 1) {
            sharing.cores = Byte(bits(eax, 31, 26) + 1);
            sharing.level1Threads = threads;
        } else if (level == 2) {
            sharing.level2Threads = threads;
            sharing.hasLevel2 = true;
        }
    });
    return sharing;
}

// Leaf 11's first two levels, SMT then core, as the first processor reports them.
struct TopologyLevels {
    uint32_t smtEax = 0;
    uint32_t smtEbx = 0;
    uint32_t coreEbx = 0;
};

TopologyLevels ReadTopologyLevels(CpuidRegisters& cpuid) {
    TopologyLevels levels;
    cpuid.Query(kTopologyLeaf, 0, false);
    levels.smtEax = cpuid.eax;
    levels.smtEbx = cpuid.ebx;
    cpuid.Query(kTopologyLeaf, 1, false);
    levels.coreEbx = cpuid.ebx;
    return levels;
}

// L2 caches per package from the ids that share one: shifting the thread bits off
// leaves the cores that share it. Unlike threads / S2, this holds where ids are
// spaced apart, as on Atom modules (ids 0, 2, 4, 6; two cores per L2). 0 when
// leaf 4 lists no L2, its count wrapped to 0 in 8 bits, or no core is left.
uint16_t L2CountFromSharedIds(const CacheSharing& sharing, uint32_t threadShift, uint32_t cores) {
    if (!sharing.hasLevel2) return 0;
    const uint32_t coresPerL2 = uint32_t{sharing.level2Threads} >> threadShift;
    if (coresPerL2 == 0) return 0;
    return Count16((cores + coresPerL2 - 1) / coresPerL2);
}

}  // namespace

bool HasTopologyLeaf(CpuidRegisters& cpuid) {
    if (cpuid.maxStdLeaf < kTopologyLeaf) return false;
    cpuid.Query(kTopologyLeaf, 0, false);
    return cpuid.ebx != 0;
}

uint16_t PackageThreadsFromTopologyLeaf(CpuidRegisters& cpuid) {
    if (!HasTopologyLeaf(cpuid)) return 0;
    return Count16(bits(ReadTopologyLevels(cpuid).coreEbx, 15, 0));
}

bool HasBothTopologyLevels(CpuidRegisters& cpuid) {
    if (cpuid.maxStdLeaf < kTopologyLeaf) return false;
    const TopologyLevels levels = ReadTopologyLevels(cpuid);
    return bits(levels.smtEbx, 15, 0) != 0 && bits(levels.coreEbx, 15, 0) != 0;
}

bool IsHybrid(CpuidRegisters& cpuid) {
    if (cpuid.maxStdLeaf < 7) return false;
    cpuid.Query(7, 0, false);
    return bits(cpuid.edx, 15, 15) != 0;
}

CoreCounts CountIntelCores(CpuidRegisters& cpuid, uint8_t threadsPerPackage) {
    uint16_t t = threadsPerPackage;
    if (cpuid.maxStdLeaf < 4) return CoreCounts{t, Byte(t > 1 ? 2 : 1), 1, 1};

    const CacheSharing sharing = ReadCacheSharing(cpuid);
    const uint8_t s1 = sharing.level1Threads;
    const uint8_t s2 = sharing.level2Threads;
    // A leaf 11 declared but left empty (a T4200, a Xeon X6550 report it as
    // zeros) says nothing: leaf 1 and leaf 4 count, as on the parts before it.
    if (HasTopologyLeaf(cpuid)) {
        const TopologyLevels levels = ReadTopologyLevels(cpuid);
        // Logical processors at the SMT and at the core level, 16-bit fields:
        // a package may hold more than 255 (288 on some Xeons).
        const uint16_t d = Count16(bits(levels.smtEbx, 15, 0));
        if (levels.coreEbx != 0) t = Count16(bits(levels.coreEbx, 15, 0));
        const uint16_t cores = d > 1 ? Count16(t / d) : t;
        // With Hyper-Threading off, leaf 11 gives one thread per core while leaf 4
        // still says two share the L1: then each logical processor has its own L2.
        uint16_t l2Count = (s2 > 1 && s1 == d) ? Count16(t / s2) : t;
        // Hybrid parts' two core kinds share their L2s differently; they keep the count above.
        if (!IsHybrid(cpuid)) {
            const uint16_t fromIds = L2CountFromSharedIds(sharing, bits(levels.smtEax, 4, 0), cores);
            if (fromIds != 0) l2Count = fromIds;
        }
        return CoreCounts{t, d, cores, l2Count};
    }

    const uint8_t k = sharing.cores;
    const uint8_t d = k > 1 ? Byte(t / k) : Byte(t > 1 ? 2 : 1);
    const uint16_t l2Count = s2 > 1 ? Count16(t / s2) : t;
    return CoreCounts{t, d, k, l2Count};
}

// Other makers: leaf 1's count stands for cores, threads and L2s alike, unless a
// filled-in leaf 11 (both levels) says how the threads divide into cores.
CoreCounts CountOtherCores(CpuidRegisters& cpuid, uint8_t threadsPerPackage) {
    if (!HasBothTopologyLevels(cpuid)) return CoreCounts{threadsPerPackage, 1, threadsPerPackage, threadsPerPackage};
    const TopologyLevels levels = ReadTopologyLevels(cpuid);
    const uint16_t d = Count16(bits(levels.smtEbx, 15, 0));
    const uint16_t t = Count16(bits(levels.coreEbx, 15, 0));
    const uint16_t cores = d > 1 ? Count16(t / d) : t;
    // Leaf 4, where these processors have it, says how many cores share an L2
    // (a Zhaoxin KX-U6780A: four per L2).
    uint16_t l2Count = cores;
    if (cpuid.maxStdLeaf >= 4) {
        const uint16_t fromIds = L2CountFromSharedIds(ReadCacheSharing(cpuid), bits(levels.smtEax, 4, 0), cores);
        if (fromIds != 0) l2Count = fromIds;
    }
    return CoreCounts{t, d, cores, l2Count};
}

ApicLayout LayoutFromTopologyLeaf(CpuidRegisters& cpuid, bool live) {
    ApicLayout layout;
    cpuid.Query(kTopologyLeaf, 0, live);
    layout.apicId = cpuid.edx;  // the whole x2APIC id
    layout.threadShift = Byte(bits(cpuid.eax, 4, 0));
    layout.threadMask = MaskOfWidth(layout.threadShift);
    cpuid.Query(kTopologyLeaf, 1, live);
    layout.packageShift = Byte(bits(cpuid.eax, 4, 0));
    // 8-bit difference: a package shift below the thread shift wraps to a wide width, mask 0xFF.
    layout.coreMask = MaskOfWidth(Byte(layout.packageShift - layout.threadShift));
    return layout;
}

bool ReadX2ApicId(CpuidRegisters& cpuid, bool live, uint32_t* id) {
    constexpr uint32_t kExtendedTopologyLeaf = 0x1F;
    for (uint32_t leaf : {kTopologyLeaf, kExtendedTopologyLeaf}) {
        if (cpuid.maxStdLeaf < leaf) break;
        cpuid.Query(leaf, 0, live);
        // A level with no logical processors is no level: the leaf is not filled in.
        if (bits(cpuid.ebx, 15, 0) != 0) {
            *id = cpuid.edx;
            return true;
        }
    }
    return false;
}

}  // namespace topology
