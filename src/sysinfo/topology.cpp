#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"

namespace {

constexpr uint32_t kAmdCoreCountLeaf = 0x80000008u;

// Counts are bytes, as the record stores them: every value below is taken modulo 256.
uint8_t Byte(uint32_t value) {
    return static_cast<uint8_t>(value);
}

struct CoreCounts {
    uint8_t threadsPerPackage;
    uint8_t threadsPerCore;
    uint8_t coresPerPackage;
    uint8_t l2Count;
};

// What leaf 4 says about the first two cache levels; the last descriptor of a level wins.
struct CacheSharing {
    uint8_t level1Threads = 1;  // S1
    uint8_t level2Threads = 1;  // S2
    uint8_t cores = 1;          // K
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
        }
    });
    return sharing;
}

CoreCounts CountIntelCores(CpuidRegisters& cpuid, uint8_t threadsPerPackage) {
    uint8_t t = threadsPerPackage;
    if (cpuid.maxStdLeaf < 4) return CoreCounts{t, Byte(t > 1 ? 2 : 1), 1, 1};

    const CacheSharing sharing = ReadCacheSharing(cpuid);
    const uint8_t s1 = sharing.level1Threads;
    const uint8_t s2 = sharing.level2Threads;
    if (cpuid.maxStdLeaf >= 11) {
        uint8_t d = 1;
        cpuid.Query(11, 0, false);
        if (cpuid.ebx != 0) d = Byte(cpuid.ebx);  // logical processors at the SMT level
        cpuid.Query(11, 1, false);
        if (cpuid.ebx != 0) t = Byte(cpuid.ebx);  // logical processors at the core level
        const uint8_t cores = d > 1 ? Byte(t / d) : t;
        // With Hyper-Threading off, leaf 11 gives one thread per core while leaf 4
        // still says two share the L1: then each logical processor has its own L2.
        const uint8_t l2Count = (s2 > 1 && s1 == d) ? Byte(t / s2) : t;
        return CoreCounts{t, d, cores, l2Count};
    }

    const uint8_t k = sharing.cores;
    const uint8_t d = k > 1 ? Byte(t / k) : Byte(t > 1 ? 2 : 1);
    const uint8_t l2Count = s2 > 1 ? Byte(t / s2) : t;
    return CoreCounts{t, d, k, l2Count};
}

CoreCounts CountAmdCores(CpuidRegisters& cpuid, uint8_t family, uint8_t threadsPerPackage) {
    cpuid.Query(kAmdCoreCountLeaf, 0, false);
    // Kept in 8 bits: a field of 0xFF gives 0 cores, stored as 1.
    const uint8_t cores = Byte(bits(cpuid.ecx, 7, 0) + 1);
    // Family 0x15 modules pair two cores on one L2.
    const uint8_t l2Count = (family == 0x15 && cores > 1) ? Byte(cores / 2) : cores;
    return CoreCounts{threadsPerPackage, 1, cores, l2Count};
}

// Smallest n with 2^n >= count, computed wide: any count from 129 to 255 gives 8.
uint8_t WidthFor(uint8_t count) {
    unsigned width = 0;
    while ((1u << width) < count) ++width;
    return Byte(width);
}

// Low 8 bits of 2^width - 1: a width of 8 or more gives 0xFF.
uint8_t MaskOfWidth(unsigned width) {
    return width >= 8 ? 0xFF : Byte((1u << width) - 1);
}

uint8_t ShiftRight(uint8_t value, unsigned shift) {
    return shift >= 8 ? 0 : Byte(value >> shift);
}

struct ApicLayout {
    uint8_t apicId = 0;
    uint8_t threadShift = 0;
    uint8_t threadMask = 0;
    uint8_t coreMask = 0;
    uint8_t packageShift = 0;
};

ApicLayout LayoutFromTopologyLeaf(CpuidRegisters& cpuid, bool live) {
    ApicLayout layout;
    cpuid.Query(11, 0, live);
    layout.apicId = Byte(bits(cpuid.edx, 7, 0));  // low byte of the x2APIC id
    layout.threadShift = Byte(bits(cpuid.eax, 4, 0));
    layout.threadMask = MaskOfWidth(layout.threadShift);
    cpuid.Query(11, 1, live);
    layout.packageShift = Byte(bits(cpuid.eax, 4, 0));
    // 8-bit difference: a package shift below the thread shift wraps to a wide width, mask 0xFF.
    layout.coreMask = MaskOfWidth(Byte(layout.packageShift - layout.threadShift));
    return layout;
}

ApicLayout LayoutFromAmdLeaf(CpuidRegisters& cpuid, bool live, uint8_t coresPerPackage) {
    ApicLayout layout;
    cpuid.Query(1, 0, live);
    layout.apicId = Byte(bits(cpuid.ebx, 31, 24));
    cpuid.Query(kAmdCoreCountLeaf, 0, live);
    // A reported core width of 0 is taken as it stands: the package number is then the APIC id.
    const uint8_t coreWidth = cpuid.ecx != 0 ? Byte(bits(cpuid.ecx, 15, 12)) : WidthFor(coresPerPackage);
    layout.packageShift = coreWidth;
    layout.coreMask = MaskOfWidth(coreWidth);
    return layout;
}

ApicLayout LayoutFromCounts(CpuidRegisters& cpuid, bool live, const CSystemInfo& info) {
    ApicLayout layout;
    cpuid.Query(1, 0, live);
    layout.apicId = Byte(bits(cpuid.ebx, 31, 24));
    if (info.threadsPerPackage <= 1) return layout;
    layout.threadShift = WidthFor(info.threadsPerCore);
    layout.threadMask = MaskOfWidth(layout.threadShift);
    const uint8_t coreWidth = WidthFor(info.coresPerPackage);
    layout.coreMask = MaskOfWidth(coreWidth);
    layout.packageShift = Byte(layout.threadShift + coreWidth);
    return layout;
}

}  // namespace

void CSystemInfo::CountCores() {
    cpuid.Query(1, 0, false);
    htState = Byte(bits(cpuid.edx, 28, 28));
    uint8_t threads = Byte(bits(cpuid.ebx, 23, 16));
    if (threads == 0) threads = 1;

    CoreCounts counts{};
    if (vendor == kVendorIntel) {
        counts = CountIntelCores(cpuid, threads);
    } else if (vendor == kVendorAmd && cpuid.maxExtLeaf >= kAmdCoreCountLeaf) {
        counts = CountAmdCores(cpuid, family, threads);
    } else {
        counts = CoreCounts{threads, 1, threads, threads};
    }

    // The one place where a count that came out as 0 becomes 1.
    auto atLeastOne = [](uint8_t value) { return value == 0 ? uint8_t{1} : value; };
    threadsPerPackage = atLeastOne(counts.threadsPerPackage);
    threadsPerCore = atLeastOne(counts.threadsPerCore);
    coresPerPackage = atLeastOne(counts.coresPerPackage);
    l2Count = atLeastOne(counts.l2Count);
}

// Processor 0 is read from the leaf cache; every other one executes CPUID
// itself, on the processor the walk has pinned the process to.
void CSystemInfo::DecodeApicId(uint8_t index) {
    if (index >= kMaxLogicalProcessors) return;
    const bool live = index != 0;
    ApicLayout layout;
    if (vendor == kVendorIntel && cpuid.maxStdLeaf >= 11) {
        layout = LayoutFromTopologyLeaf(cpuid, live);
    } else if (vendor == kVendorAmd && cpuid.maxExtLeaf >= kAmdCoreCountLeaf) {
        layout = LayoutFromAmdLeaf(cpuid, live, coresPerPackage);
    } else {
        layout = LayoutFromCounts(cpuid, live, *this);
    }

    ApicEntry& entry = apicTable[index];
    entry.apicId = layout.apicId;
    entry.packageId = ShiftRight(layout.apicId, layout.packageShift);
    entry.coreId = Byte(ShiftRight(layout.apicId, layout.threadShift) & layout.coreMask);
    entry.threadId = Byte(layout.apicId & layout.threadMask);
}
