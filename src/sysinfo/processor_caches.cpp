// Each processor's own L2 and L3, read while the walk has it pinned, and the
// cache lines they make. Counting the distinct caches by their ids holds where
// one processor's counts cannot: hybrid parts with L2s of two sizes, modules
// whose ids leave gaps, and L3s of different sizes in one package.
#include <algorithm>
#include <cstddef>
#include <limits>
#include <set>
#include <vector>

#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"
#include "sysinfo/topology_rules.h"

namespace {

// The caches' own leaf: AMD's 0x8000001D, or leaf 4 for every other maker.
bool CacheLeafOf(CSystemInfo& info, uint32_t* leaf) {
    if (info.FollowsAmdTopology()) {
        *leaf = kAmdCacheTopologyLeaf;
        return HasAmdCacheTopology(info.cpuid);
    }
    *leaf = 4;
    return info.cpuid.maxStdLeaf >= 4;
}

// EAX[25:14] + 1 ids share the cache, rounded up to a power of two: the
// cache's id is the APIC id with those low bits cleared, as the makers say.
uint32_t CacheId(uint32_t apicId, uint32_t eax) {
    return apicId & ~topology::MaskOfWidth(topology::WidthFor(bits(eax, 25, 14) + 1));
}

using Level = CacheInstance ProcessorCaches::*;

// The distinct caches of one level among the first package's processors, in
// walk order; false where a processor was never read, or one of the first
// package lists no cache of that level.
bool FirstPackageCaches(const CSystemInfo& info, Level level, uint8_t listedFlag, std::vector<CacheInstance>* out) {
    out->clear();
    // A processor whose pin failed has an all-zero APIC entry: its package is unknown.
    if (!info.firstPackage.everyPinHeld) return false;
    std::set<uint32_t> seen;
    for (const ProcessorEntry& processor : info.processors) {
        if (!info.InFirstPackage(processor)) continue;
        if ((processor.caches.flags & listedFlag) == 0) return false;
        const CacheInstance& cache = processor.caches.*level;
        if (seen.insert(cache.id).second) out->push_back(cache);
    }
    return true;
}

// Caches grouped by size, in the order the first of each size came.
std::vector<CacheKind> KindsBySize(const std::vector<CacheInstance>& caches) {
    std::vector<CacheKind> kinds;
    for (const CacheInstance& cache : caches) {
        auto kind = std::find_if(kinds.begin(), kinds.end(),
                                 [&cache](const CacheKind& k) { return k.sizeKb == cache.sizeKb; });
        if (kind == kinds.end()) {
            kinds.push_back(CacheKind{1, cache.sizeKb});
        } else if (kind->count < std::numeric_limits<uint16_t>::max()) {
            ++kind->count;
        }
    }
    return kinds;
}

// One cache that every thread of the package shares is the package's only
// one, whichever of its processors a partial walk reached.
bool SharedByThePackage(const std::vector<CacheInstance>& caches, uint32_t threadsPerPackage) {
    return caches.size() == 1 && caches.front().sharedBy >= threadsPerPackage;
}

uint32_t TotalKb(const std::vector<CacheInstance>& caches) {
    uint64_t total = 0;
    for (const CacheInstance& cache : caches) total += cache.sizeKb;
    return static_cast<uint32_t>(std::min<uint64_t>(total, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

void CSystemInfo::ReadProcessorCaches(int index) {
    ProcessorEntry* processor = EntryAt(index);
    if (processor == nullptr) return;
    ProcessorCaches& caches = processor->caches;
    caches = ProcessorCaches{};
    uint32_t leaf = 0;
    if (!CacheLeafOf(*this, &leaf)) return;
    const uint32_t apicId = processor->apic.apicId;
    ForEachCacheOfLeaf(
        cpuid, leaf,
        [&caches, apicId](uint32_t eax, uint32_t ebx, uint32_t ecx) {
            const CacheInstance cache{CacheId(apicId, eax), Leaf4SizeKb(ebx, ecx), bits(eax, 25, 14) + 1};
            const uint32_t level = bits(eax, 7, 5);
            if (level == 2) {
                caches.l2 = cache;
                caches.flags |= kListsL2;
            } else if (level == 3) {
                caches.l3 = cache;
                caches.flags |= kListsL3;
            }
        },
        ReadsCpuidLive(index));
}

void CSystemInfo::SummarizeCaches() {
    // A walk that holds part of the first package (a file of one processor's
    // leaves, an APIC id twice, a 32-bit mask full to bit 31, a process kept
    // off some processors) keeps the lines the first processor's counts give:
    // its L2s as the cores', one L3. Its distinct caches are not the package's,
    // unless the one cache it found is shared by the whole package.
    const bool whole = firstPackage.whole;
    std::vector<CacheInstance> caches;
    if (FirstPackageCaches(*this, &ProcessorCaches::l2, kListsL2, &caches) && !caches.empty() &&
        (whole || SharedByThePackage(caches, threadsPerPackage))) {
        const std::vector<CacheKind> kinds = KindsBySize(caches);
        l2Count = kinds.front().count;
        // One size: the size stays what the first processor's leaves said,
        // where they said one; only the count comes from the walk.
        if (kinds.size() > 1 || l2SizeKb == 0) l2SizeKb = kinds.front().sizeKb;
        moreL2Kinds.assign(kinds.begin() + 1, kinds.end());
    }
    // Intel's L3 line stays the first processor's: one L3 per package. So does
    // AMD's before Zen, whose 0x8000001D sharing field does not give the L3's
    // extent (a family 0x15 part's one 8 MB L3 says 2 sharing threads).
    const bool oneL3 = vendor == kVendorIntel || (vendor == kVendorAmd && family < topology::kFirstZenFamily);
    if (oneL3 || !FirstPackageCaches(*this, &ProcessorCaches::l3, kListsL3, &caches)) return;
    if (whole || SharedByThePackage(caches, threadsPerPackage)) {
        l3SizeKb = TotalKb(caches);
    } else if (l3SizeKb == 0) {
        // Part of a package, and 0x80000006 names no L3 (a Zhaoxin KX-7000
        // lists its L3 in leaf 4 only): the first processor's own is the one L3.
        l3SizeKb = caches.front().sizeKb;
    }
}
