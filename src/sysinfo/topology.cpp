#include <cmath>
#include <set>
#include <utility>
#include <vector>

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
bool Leaf1EbxIsNoise(uint8_t vendor, uint32_t ebx, uint32_t edx, uint32_t walkedCount) {
    return vendor != kVendorIntel && bits(edx, 28, 28) == 0 && bits(ebx, 23, 16) > walkedCount;
}

ApicLayout LayoutFromCounts(CpuidRegisters& cpuid, bool live, const CSystemInfo& info) {
    ApicLayout layout;
    cpuid.Query(1, 0, live);
    layout.apicId = Byte(bits(cpuid.ebx, 31, 24));
    if (info.threadsPerPackage <= 1) {
        // The byte is shown as read, but noise numbers no package: shifted out whole.
        if (Leaf1EbxIsNoise(info.vendor, cpuid.ebx, cpuid.edx, info.LogicalCount())) layout.packageShift = 8;
        return layout;
    }
    layout.threadShift = WidthFor(info.threadsPerCore);
    layout.threadMask = MaskOfWidth(layout.threadShift);
    const uint8_t coreWidth = WidthFor(info.coresPerPackage);
    layout.coreMask = MaskOfWidth(coreWidth);
    layout.packageShift = Byte(layout.threadShift + coreWidth);
    return layout;
}

// Distinct package numbers among the entries; a processor whose pin failed has
// an all-zero entry and counts as package 0.
uint16_t CountPackages(const std::vector<ProcessorEntry>& processors) {
    std::set<uint32_t> seen;
    for (const ProcessorEntry& p : processors) seen.insert(p.apic.packageId);
    return static_cast<uint16_t>(seen.size());
}

// Distinct (package, core) pairs among the entries: the cores the walk met in every package.
uint16_t CountDistinctCores(const std::vector<ProcessorEntry>& processors) {
    std::set<std::pair<uint32_t, uint32_t>> seen;
    for (const ProcessorEntry& p : processors) seen.insert({p.apic.packageId, p.apic.coreId});
    return static_cast<uint16_t>(seen.size());
}

// Distinct core numbers among the entries in the first processor's package.
uint16_t CountCoresOfFirstPackage(const CSystemInfo& info) {
    std::set<uint32_t> seen;
    for (const ProcessorEntry& p : info.processors) {
        if (info.InFirstPackage(p)) seen.insert(p.apic.coreId);
    }
    return static_cast<uint16_t>(seen.size());
}

// Tools that record dumps, and the Windows walk, stop at 32 processors (a
// 32-bit mask) or at a group of up to 64: a walk below 32 met no such limit.
constexpr uint16_t kSmallestWalkLimit = 32;

// What the walk met: each processor walked once, and the first package's
// processors and cores among them.
FirstPackageWalk CountWhatTheWalkMet(const CSystemInfo& info) {
    FirstPackageWalk walk;
    if (info.processors.empty()) return walk;
    std::set<uint32_t> ids;
    std::set<uint32_t> cores;
    walk.everyPinHeld = true;
    for (const ProcessorEntry& p : info.processors) {
        if (!p.walked) {
            walk.everyPinHeld = false;
        } else if (!ids.insert(p.apic.apicId).second) {
            walk.idTwice = true;
        } else if (!info.InFirstPackage(p)) {
            walk.otherPackage = true;
        } else {
            ++walk.logical;
            cores.insert(p.apic.coreId);
        }
    }
    walk.processorsMet = static_cast<uint16_t>(ids.size());
    walk.cores = static_cast<uint16_t>(cores.size());
    return walk;
}

// A file of one processor's leaves (other tools often record only the first),
// a tool that repeats one processor once it can go no further, a failed pin, a
// walk cut at a limit: each holds part of the package, as a walk with fewer of
// its processors than the leaves count does. Where the leaves overstate (ids
// that may be addressed, not processors present), a walk that reached another
// package, or that met no recording limit, still covered the first package.
FirstPackageWalk WalkOfFirstPackage(const CSystemInfo& info) {
    FirstPackageWalk walk = CountWhatTheWalkMet(info);
    const uint16_t walked = info.LogicalCount();
    // One processor of a package of several cores is a file of the first
    // processor's leaves; one of a single core is that core (its second
    // thread switched off or not).
    const bool reachedAll = walk.logical >= info.threadsPerPackage || walk.otherPackage ||
                            (walked > 1 && walked < kSmallestWalkLimit) ||
                            (walked == 1 && info.coresPerPackage == 1);
    walk.whole = info.walkStoppedShort == 0 && walk.everyPinHeld && !walk.idTwice && reachedAll;
    return walk;
}

// Without leaf 11, another maker's cores are leaf 1's count, and the APIC ids
// are split by that same count. Where the ids are spaced apart (a VIA Nano X2:
// ids 0 and 2 of a package of 2), the split puts one package's processors in
// several, each with fewer cores than the count: a walk that met no more
// processors than one package holds, spread over several, met that one package.
bool OnePackageSplitByItsCount(const CSystemInfo& info, const FirstPackageWalk& walk) {
    return info.coresFromLeaf1Only != 0 && walk.otherPackage && walk.processorsMet <= info.threadsPerPackage;
}

// Intel's leaf 1, leaf 4 EAX[31:26] and leaf 11 count the ids a package may
// address, not its processors (leaf 11's counts are "as shipped", for display
// only); other makers copy those leaves. Where a whole walk meets fewer cores,
// those it met are the package: a Pentium Gold G5400's leaves allow 4 cores
// of 2 threads for its 2 of 2, a KX-7000's 96 threads for its 8 cores. The L2
// count, the cores' until the caches are summed, follows them. AMD's
// 0x80000008 counts the cores built instead: a Phenom X3's fourth is disabled,
// and stays an inactive core.
void CountTheWalkedCores(CSystemInfo& info, const FirstPackageWalk& walk) {
    if (!walk.whole || info.FollowsAmdTopology() || walk.cores == 0 || walk.cores >= info.coresPerPackage) return;
    if (OnePackageSplitByItsCount(info, walk)) return;
    info.l2Count = static_cast<uint16_t>((info.l2Count * walk.cores + info.coresPerPackage - 1) / info.coresPerPackage);
    info.coresPerPackage = walk.cores;
    if (walk.logical < info.threadsPerPackage) info.threadsPerPackage = walk.logical;
}

// Hybrid parts with Hyper-Threading have cores of one and of two threads, so
// leaf 11's thread counts do not divide into cores: the decoded ids are counted
// instead. A hybrid package has no inactive cores to infer.
void SummarizeHybrid(CSystemInfo& info) {
    info.packageCount = CountPackages(info.processors);
    info.coresPerPackage = CountCoresOfFirstPackage(info);
    info.htState = info.LogicalCount() > info.coresPerPackage * info.packageCount ? kHtOn : kHtOff;
}

// Intel with Hyper-Threading: the packages are those the APIC ids name, and
// the cores they should hold tell whether threads share cores.
void SummarizeHyperThreading(CSystemInfo& info, const FirstPackageWalk& walk) {
    const int logical = info.LogicalCount();
    info.packageCount = CountPackages(info.processors);
    if (!walk.whole) {
        // Part of a package: two threads met on one core are HT On, several
        // cores met without a sibling HT Off. A single processor, in one block
        // or in a block repeated (a recording tool that could not move on),
        // shows nothing of its siblings, so the leaves' threads per core stand.
        // Processors that were not walked are no inactive cores.
        info.htState = walk.logical > walk.cores || walk.processorsMet <= 1 ? kHtOn : kHtOff;
        return;
    }
    const int total = info.coresPerPackage * info.packageCount;
    if (logical > total) {
        info.htState = kHtOn;
        // A core met with one thread is there, its second thread switched off (some
        // boards' firmware does it core by core: an i9-10900K with 16 of its 20
        // threads): only the cores the walk never met are inactive.
        const int cores = CountDistinctCores(info.processors);
        if (logical < 2 * total && cores < total) info.inactiveCores = static_cast<uint16_t>(total - cores);
        return;
    }
    info.htState = kHtOff;
    if (logical < total) info.inactiveCores = static_cast<uint16_t>(total - logical);
}

// Every other processor: packages from the counts, rounded up, the shortfall inactive.
void SummarizeFromCounts(CSystemInfo& info, bool mayHaveMore) {
    info.htState = kHtNotReported;
    // Only Zen's SMT, or another maker's leaf 11, gives more than one thread per core
    // here: a package then holds cores x threads, and inactive cores count whole cores.
    const int threads = info.vendor != kVendorIntel && info.threadsPerCore > 1 ? info.threadsPerCore : 1;
    const int perPackage = info.coresPerPackage * threads;
    const int logical = info.LogicalCount();
    info.packageCount = static_cast<uint16_t>(logical / perPackage);
    if (info.packageCount * perPackage >= logical) return;
    info.packageCount = static_cast<uint16_t>(std::ceil(static_cast<double>(logical) / perPackage));
    if (!mayHaveMore) info.inactiveCores = static_cast<uint16_t>((perPackage * info.packageCount - logical) / threads);
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
    if (threads == 0 || Leaf1EbxIsNoise(vendor, cpuid.ebx, cpuid.edx, LogicalCount())) threads = 1;

    CoreCounts counts{};
    if (vendor == kVendorIntel) {
        counts = topology::CountIntelCores(cpuid, threads);
    } else if (FollowsAmdTopology() && cpuid.maxExtLeaf >= topology::kAmdCoreCountLeaf) {
        counts = topology::CountAmdCores(cpuid, family, threads);
    } else {
        counts = topology::CountOtherCores(cpuid, threads);
        coresFromLeaf1Only = topology::HasBothTopologyLevels(cpuid) ? 0 : 1;
    }

    // The one place where a count that came out as 0 becomes 1.
    auto atLeastOne = [](uint16_t value) { return value == 0 ? uint16_t{1} : value; };
    threadsPerPackage = atLeastOne(counts.threadsPerPackage);
    threadsPerCore = atLeastOne(counts.threadsPerCore);
    coresPerPackage = atLeastOne(counts.coresPerPackage);
    l2Count = atLeastOne(counts.l2Count);
}

void CSystemInfo::DecodeApicId(int index) {
    ProcessorEntry* processor = EntryAt(index);
    if (processor == nullptr) return;
    const bool live = ReadsCpuidLive(index);
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

    ApicEntry& entry = processor->apic;
    entry.apicId = layout.apicId;
    entry.packageId = ShiftRight(layout.apicId, layout.packageShift);
    entry.coreId = ShiftRight(layout.apicId, layout.threadShift) & layout.coreMask;
    entry.threadId = layout.apicId & layout.threadMask;
}

void CSystemInfo::SummarizeTopology() {
    firstPackage = WalkOfFirstPackage(*this);
    const FirstPackageWalk& walk = firstPackage;
    // Processors the walk never reached are not inactive cores.
    const bool mayHaveMore = !walk.whole;
    // Until here htState holds the HTT flag.
    if (vendor == kVendorIntel && threadsPerCore > 1 && topology::IsHybrid(cpuid)) {
        SummarizeHybrid(*this);
        return;
    }
    // Whether threads may share cores is the leaves' word, before the walk's count.
    const bool hyperThreading = vendor == kVendorIntel && htState == 1 && threadsPerPackage > coresPerPackage;
    CountTheWalkedCores(*this, walk);
    if (hyperThreading) {
        SummarizeHyperThreading(*this, walk);
        return;
    }
    SummarizeFromCounts(*this, mayHaveMore);
}
