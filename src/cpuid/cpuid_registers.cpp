#include "cpuid/cpuid_registers.h"

#include <new>

#include "platform/seam.h"

namespace {


// Byte sizes must fit in 32 bits, as on the 32-bit target; a larger request fails.
CpuidLeaf* MakeTable(uint64_t entries) {
    if (entries == 0 || entries * sizeof(CpuidLeaf) > 0xFFFFFFFFull) return nullptr;
    return new (std::nothrow) CpuidLeaf[static_cast<size_t>(entries)]();
}

}  // namespace

CpuidLeafCache::~CpuidLeafCache() {
    delete[] stdLeaves;
    delete[] extLeaves;
}

bool CpuidLeafCache::AllocateStandard(uint32_t maxLeaf) {
    delete[] stdLeaves;
    stdLeaves = MakeTable(uint64_t{maxLeaf} + 1);
    return stdLeaves != nullptr;
}

bool CpuidLeafCache::AllocateExtended(uint32_t maxLeaf) {
    if (maxLeaf < kExtendedBase) return true;
    delete[] extLeaves;
    extLeaves = MakeTable(uint64_t{maxLeaf - kExtendedBase} + 1);
    return extLeaves != nullptr;
}

CpuidRegisters::~CpuidRegisters() {
    delete leafCache;
}

void CpuidRegisters::InstallCache(CpuidLeafCache* cache) {
    delete leafCache;
    leafCache = cache;
}

void CpuidRegisters::Store(CpuidLeaf& entry) const {
    entry = CpuidLeaf{eax, ebx, ecx, edx};
}

void CpuidRegisters::Load(const CpuidLeaf& entry) {
    eax = entry.eax;
    ebx = entry.ebx;
    ecx = entry.ecx;
    edx = entry.edx;
}

void CpuidRegisters::Execute(uint32_t leaf, uint32_t subleaf) {
    const platform::CpuidResult r = platform::ExecuteCpuid(leaf, subleaf);
    eax = r.eax;
    ebx = r.ebx;
    ecx = r.ecx;
    edx = r.edx;
}

void CpuidRegisters::Query(uint32_t leaf, uint32_t subleaf, bool live) {
    if (live || leafCache == nullptr) {
        Execute(leaf, subleaf);
        return;
    }
    if (subleaf == 0) {
        const CpuidLeaf* entry = nullptr;
        if (leaf <= maxStdLeaf) {
            if (leafCache->stdLeaves) entry = &leafCache->stdLeaves[leaf];
        } else if (leaf >= kExtendedBase && leaf <= maxExtLeaf) {
            if (leafCache->extLeaves) entry = &leafCache->extLeaves[leaf - kExtendedBase];
        }
        Load(entry ? *entry : CpuidLeaf{});
        return;
    }
    if (leaf == 4 && subleaf < 4) {
        Load(leafCache->leaf4Subleaves[subleaf]);
    } else if (leaf == 11 && subleaf < 2) {
        Load(leafCache->leaf11Subleaves[subleaf]);
    } else {
        Execute(leaf, subleaf);
    }
}

void CpuidRegisters::Init(const char* path) {
    fromDump = path != nullptr && LoadDump(path);
    if (!fromDump) FillLive();
}

void CpuidRegisters::FillLive() {
    InstallCache(new CpuidLeafCache());
    CpuidLeafCache& cache = *leafCache;

    Execute(0, 0);
    maxStdLeaf = eax;
    if (maxStdLeaf != 0 && maxStdLeaf < kMaxTableEntries && cache.AllocateStandard(maxStdLeaf)) {
        Store(cache.stdLeaves[0]);
        for (uint32_t leaf = 1; leaf <= maxStdLeaf && leaf != 0; ++leaf) {
            Execute(leaf, 0);
            Store(cache.stdLeaves[leaf]);
        }
        if (maxStdLeaf >= 4) {
            for (uint32_t sub = 0; sub < 4; ++sub) {
                Execute(4, sub);
                Store(cache.leaf4Subleaves[sub]);
            }
        }
        if (maxStdLeaf >= 11) {
            for (uint32_t sub = 0; sub < 2; ++sub) {
                Execute(11, sub);
                Store(cache.leaf11Subleaves[sub]);
            }
        }
    }

    Execute(kExtendedBase, 0);
    maxExtLeaf = eax;
    if (maxExtLeaf > kExtendedBase && maxExtLeaf - kExtendedBase < kMaxTableEntries &&
        cache.AllocateExtended(maxExtLeaf)) {
        Store(cache.extLeaves[0]);
        for (uint32_t leaf = kExtendedBase + 1; leaf <= maxExtLeaf && leaf != 0; ++leaf) {
            Execute(leaf, 0);
            Store(cache.extLeaves[leaf - kExtendedBase]);
        }
    }
}
