#include <cmath>
#include <cstring>

#include "hwaccess/ols_library.h"
#include "sysinfo/system_info.h"
#include "sysinfo/topology_rules.h"

namespace {

const char kCaption[] = "Vexmora";

void Warn(const char* text) {
    MessageBoxA(nullptr, text, kCaption, MB_ICONWARNING);
}

// 1 + the position of the highest set bit: the extent of the mask, gaps included.
int MaskExtent(uint32_t mask) {
    int count = 0;
    while (mask != 0) {
        ++count;
        mask >>= 1;
    }
    return count;
}

// Distinct package numbers among the decoded entries; a processor whose pin
// failed has an all-zero entry and counts as package 0.
int CountPackages(const ApicEntry* table, int count) {
    bool seen[256] = {};
    int packages = 0;
    for (int i = 0; i < count; ++i) {
        if (!seen[table[i].packageId]) {
            seen[table[i].packageId] = true;
            ++packages;
        }
    }
    return packages;
}

// Distinct core numbers among the entries in the first processor's package.
int CountCoresOfFirstPackage(const ApicEntry* table, int count) {
    bool seen[256] = {};
    int cores = 0;
    for (int i = 0; i < count; ++i) {
        if (table[i].packageId != table[0].packageId || seen[table[i].coreId]) continue;
        seen[table[i].coreId] = true;
        ++cores;
    }
    return cores;
}

}  // namespace

CSystemInfo systemInfo;

CSystemInfo::CSystemInfo()
    : driverModule(nullptr),
      brand{},
      vendor(0),
      brandIndex(0),
      family(0),
      baseFamily(0),
      extFamily(0),
      model(0),
      baseModel(0),
      extModel(0),
      stepping(0),
      features(0),
      constTsc(0),
      perfMsr(0),
      driverStatus(ols::kNoStatus),
      amdThermal(0),
      intelDts(0),
      tjMax(0),
      coefCurrent(1.0),
      coefMax(1.0),
      freqClassic(0.0),
      freqClassicFixed(0.0),
      freqAlt1(0.0),
      freqAlt2(0.0),
      freqRetained(0.0),
      l2Count(1),
      l2SizeKb(0),
      l3SizeKb(0),
      logicalCount(1),
      packageCount(1),
      coresPerPackage(1),
      threadsPerCore(0),
      threadsPerPackage(1),
      htState(0),
      inactiveCores(0),
      apicTable{} {}

CSystemInfo::~CSystemInfo() {
    ols::UnloadDriver(&driverModule);
}

void CSystemInfo::LoadLibraryStep() {
    const int loaded = ols::LoadDriver(&driverModule);
    driverStatus = ols::LibraryStatus(loaded);
    if (driverStatus != 0) Warn(ols::StatusMessage(driverStatus));
}

int CSystemInfo::Detect(const char* dumpPath) {
    LoadLibraryStep();

    DWORD_PTR processBits = 0;
    DWORD_PTR systemBits = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &processBits, &systemBits)) {
        Warn("GetProcessAffinityMask Error.");
        return 0;
    }
    // The walk covers at most 32 processors, the size of apicTable.
    const uint32_t processMask = static_cast<uint32_t>(processBits);
    const uint32_t systemMask = static_cast<uint32_t>(systemBits);
    if (processMask == 0 || systemMask == 0 || processMask != systemMask) {
        Warn("Skelvane ne peut acc\xE9" "der \xE0 tous les processeurs logiques !");
        return 0;
    }

    const int count = MaskExtent(systemMask);
    if (count < 1 || count > kMaxLogicalProcessors) {
        Warn("Votre systeme poss\xE8" "de un nombre incorrect de processeurs logique.");
        return 0;
    }
    logicalCount = static_cast<uint8_t>(count);

    if (!SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) Warn("SetPriorityClass Error.");
    WalkProcessors(dumpPath, processMask);
    RestoreProcessState(processMask);
    SummarizeTopology();
    return 1;
}

void CSystemInfo::WalkProcessors(const char* dumpPath, uint32_t processMask) {
    uint8_t index = 0;
    // Unsigned, so the bit shifts out after bit 31 and ends the walk.
    for (uint32_t bit = 1; bit != 0 && bit <= processMask; bit <<= 1, ++index) {
        if (SetProcessAffinityMask(GetCurrentProcess(), bit) != 1) {
            Warn("SetProcessAffinityMask Error.");
            continue;
        }
        Sleep(16);
        if (index == 0) RunFirstProcessorPasses(dumpPath);
        DecodeApicId(index);
    }
}

void CSystemInfo::RunFirstProcessorPasses(const char* dumpPath) {
    cpuid.Init(dumpPath);
    ReadIdentification();
    MeasureClock();
    ReadFeatures();
    CountCores();
    DetectThermal();
}

void CSystemInfo::RestoreProcessState(uint32_t processMask) {
    if (!SetProcessAffinityMask(GetCurrentProcess(), processMask)) Warn("SetProcessAffinityMask Error.");
    if (!SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS)) Warn("SetPriorityClass Error.");
}

void CSystemInfo::SummarizeTopology() {
    // A mask shows 32 processors at most: when the walk ran to bit 31 there may
    // be more that it never reached, and those are not inactive cores.
    const bool mayHaveMore = logicalCount >= kMaxLogicalProcessors;
    // Until here htState holds the HTT flag.
    if (vendor == kVendorIntel && threadsPerCore > 1 && topology::IsHybrid(cpuid)) {
        SummarizeHybrid();
        return;
    }
    if (vendor == kVendorIntel && htState == 1 && threadsPerPackage > coresPerPackage) {
        packageCount = static_cast<uint8_t>(CountPackages(apicTable, logicalCount));
        const int total = coresPerPackage * packageCount;
        if (logicalCount > total) {
            htState = kHtOn;
            if (logicalCount < 2 * total && !mayHaveMore) {
                inactiveCores = static_cast<uint8_t>(total - logicalCount / 2);
            }
        } else {
            htState = kHtOff;
            if (logicalCount < total && !mayHaveMore) inactiveCores = static_cast<uint8_t>(total - logicalCount);
        }
        return;
    }
    htState = kHtNotReported;
    // Only Zen's SMT, or another maker's leaf 11, gives more than one thread per core
    // here: a package then holds cores x threads, and inactive cores count whole cores.
    const int threads = vendor != kVendorIntel && threadsPerCore > 1 ? threadsPerCore : 1;
    const int perPackage = coresPerPackage * threads;
    packageCount = static_cast<uint8_t>(logicalCount / perPackage);
    if (packageCount * perPackage < logicalCount) {
        packageCount = static_cast<uint8_t>(std::ceil(static_cast<double>(logicalCount) / perPackage));
        if (!mayHaveMore) inactiveCores = static_cast<uint8_t>((perPackage * packageCount - logicalCount) / threads);
    }
}

// Hybrid parts with Hyper-Threading have cores of one and of two threads, so
// leaf 11's thread counts do not divide into cores: the decoded ids are counted
// instead. A hybrid package has no inactive cores to infer.
void CSystemInfo::SummarizeHybrid() {
    packageCount = static_cast<uint8_t>(CountPackages(apicTable, logicalCount));
    coresPerPackage = static_cast<uint8_t>(CountCoresOfFirstPackage(apicTable, logicalCount));
    htState = logicalCount > coresPerPackage * packageCount ? kHtOn : kHtOff;
}
