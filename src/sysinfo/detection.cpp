#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "hwaccess/hw_access.h"
#include "hwaccess/library_contract.h"
#include "sysinfo/system_info.h"
#include "sysinfo/topology_rules.h"

namespace {

const char kCaption[] = "Vexmora";
const char kNotAllProcessors[] = "Skelvane ne peut acc\xE9" "der \xE0 tous les processeurs logiques !";

void Warn(const char* text) {
    MessageBoxA(nullptr, text, kCaption, MB_ICONWARNING);
}

// Distinct package numbers among the decoded entries; a processor whose pin
// failed has an all-zero entry and counts as package 0.
int CountPackages(const std::vector<ApicEntry>& table) {
    std::set<uint32_t> seen;
    for (const ApicEntry& e : table) seen.insert(e.packageId);
    return static_cast<int>(seen.size());
}

// Distinct core numbers among the entries in the first processor's package.
int CountCoresOfFirstPackage(const std::vector<ApicEntry>& table) {
    std::set<uint32_t> seen;
    for (const ApicEntry& e : table) {
        if (e.packageId == table[0].packageId) seen.insert(e.coreId);
    }
    return static_cast<int>(seen.size());
}

}  // namespace

CSystemInfo systemInfo;

CSystemInfo::CSystemInfo()
    : driverModule(nullptr),
      brand{},
      vendor(0),
      hygon(0),
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
      // One processor until a walk says otherwise: the report of a pass that
      // stopped early shows processor 0's line.
      apicTable(1, ApicEntry{}),
      walkedProcessors(1, 0),
      cacheTable(1, ProcessorCaches{}),
      walkStoppedShort(0) {}

CSystemInfo::~CSystemInfo() {
    hw::CloseAccess(&driverModule);
}

void CSystemInfo::LoadLibraryStep() {
    driverStatus = hw::OpenAccess(&driverModule);
    if (driverStatus != 0) Warn(hw::StatusMessage(driverStatus));
}

int CSystemInfo::Detect(const char* dumpPath) {
    LoadLibraryStep();

    platform::ProcessorWalk walk;
    if (!platform::PlanProcessorWalk(&walk)) {
        Warn("GetProcessAffinityMask Error.");
        return 0;
    }
    if (walk.processors.empty()) {
        Warn(kNotAllProcessors);
        return 0;
    }
    // A process kept off some processors (taskset, a container's cpuset) still
    // gets a true report of the ones it may run on, after the warning.
    if (!walk.wholeSystem) Warn(kNotAllProcessors);

    // The plan stays whole: the restore gives the process back all of it.
    const size_t walked = std::min(walk.processors.size(), kMaxWalkedProcessors);
    walkedProcessors.assign(walk.processors.begin(), walk.processors.begin() + static_cast<long>(walked));
    walkStoppedShort = walk.stoppedShort || walked < walk.processors.size() ? 1 : 0;
    logicalCount = static_cast<uint16_t>(walked);
    apicTable.assign(walked, ApicEntry{});
    cacheTable.assign(walked, ProcessorCaches{});

    if (!SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) Warn("SetPriorityClass Error.");
    WalkProcessors(dumpPath);
    RestoreProcessState(walk);
    SummarizeTopology();
    SummarizeCaches();
    return 1;
}

void CSystemInfo::WalkProcessors(const char* dumpPath) {
    for (size_t index = 0; index < walkedProcessors.size(); ++index) {
        if (!platform::PinProcessTo(walkedProcessors[index])) {
            Warn("SetProcessAffinityMask Error.");
            continue;
        }
        if (index == 0) RunFirstProcessorPasses(dumpPath);
        DecodeApicId(static_cast<int>(index));
        ReadProcessorCaches(static_cast<int>(index));
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

void CSystemInfo::RestoreProcessState(const platform::ProcessorWalk& walk) {
    if (!platform::RestoreProcessAffinity(walk)) Warn("SetProcessAffinityMask Error.");
    if (!SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS)) Warn("SetPriorityClass Error.");
}

void CSystemInfo::SummarizeTopology() {
    // Processors the walk never reached are not inactive cores.
    const bool mayHaveMore = walkStoppedShort != 0;
    // Until here htState holds the HTT flag.
    if (vendor == kVendorIntel && threadsPerCore > 1 && topology::IsHybrid(cpuid)) {
        SummarizeHybrid();
        return;
    }
    if (vendor == kVendorIntel && htState == 1 && threadsPerPackage > coresPerPackage) {
        packageCount = static_cast<uint16_t>(CountPackages(apicTable));
        const int total = coresPerPackage * packageCount;
        if (logicalCount > total) {
            htState = kHtOn;
            if (logicalCount < 2 * total && !mayHaveMore) {
                inactiveCores = static_cast<uint16_t>(total - logicalCount / 2);
            }
        } else {
            htState = kHtOff;
            if (logicalCount < total && !mayHaveMore) inactiveCores = static_cast<uint16_t>(total - logicalCount);
        }
        return;
    }
    htState = kHtNotReported;
    // Only Zen's SMT, or another maker's leaf 11, gives more than one thread per core
    // here: a package then holds cores x threads, and inactive cores count whole cores.
    const int threads = vendor != kVendorIntel && threadsPerCore > 1 ? threadsPerCore : 1;
    const int perPackage = coresPerPackage * threads;
    packageCount = static_cast<uint16_t>(logicalCount / perPackage);
    if (packageCount * perPackage < logicalCount) {
        packageCount = static_cast<uint16_t>(std::ceil(static_cast<double>(logicalCount) / perPackage));
        if (!mayHaveMore) inactiveCores = static_cast<uint16_t>((perPackage * packageCount - logicalCount) / threads);
    }
}

// Hybrid parts with Hyper-Threading have cores of one and of two threads, so
// leaf 11's thread counts do not divide into cores: the decoded ids are counted
// instead. A hybrid package has no inactive cores to infer.
void CSystemInfo::SummarizeHybrid() {
    packageCount = static_cast<uint16_t>(CountPackages(apicTable));
    coresPerPackage = static_cast<uint16_t>(CountCoresOfFirstPackage(apicTable));
    htState = logicalCount > coresPerPackage * packageCount ? kHtOn : kHtOff;
}
