// The record of everything detected, and the passes that fill it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "cpuid/cpuid_leaf.h"
#include "cpuid/cpuid_registers.h"
#include "hwaccess/hw_access.h"
#include "hwaccess/library_contract.h"
#include "platform/seam.h"
#include "platform/win32.h"

// Coded values of the record's members, for the passes and the report alike.
// `vendor`:
constexpr uint8_t kVendorOther = 0;
constexpr uint8_t kVendorIntel = 1;  // "GenuineIntel"
constexpr uint8_t kVendorAmd = 2;    // "AuthenticAMD"
// `htState` after the summary (before it, the HTT flag: 0 or 1).
constexpr uint8_t kHtNotReported = 0;
constexpr uint8_t kHtOff = 1;
constexpr uint8_t kHtOn = 2;
// `features`: long mode, which the summary prints as " 64 bits".
constexpr uint16_t kFeatureLongMode = 0x0020;

// One logical processor's APIC id and its split; the id is the 32-bit x2APIC
// id where the processor reports one.
struct ApicEntry {
    uint32_t apicId = 0;
    uint32_t packageId = 0;
    uint32_t coreId = 0;
    uint32_t threadId = 0;
};
// One cache as a processor's own leaf lists it: its id (the processor's APIC id
// with the bits of the ids sharing it cleared) and its size.
struct CacheInstance {
    uint32_t id = 0;
    uint32_t sizeKb = 0;
    uint32_t sharedBy = 0;  // the logical processors its leaf says share it
};
// The L2 and L3 one processor lists.
struct ProcessorCaches {
    uint8_t flags = 0;  // kListsL2 | kListsL3
    CacheInstance l2;
    CacheInstance l3;
};
constexpr uint8_t kListsL2 = 2;
constexpr uint8_t kListsL3 = 4;
// The kind of core a logical processor says it belongs to. A part of one kind
// may still state it: every processor of a Zen 4 with 0x80000026 says type 0.
enum class CoreType : uint8_t {
    kNotStated,    // no kind named: Intel without the hybrid bit, AMD without 0x80000026, other makers
    kPerformance,  // Intel's Core (leaf 0x1A type 0x40), AMD's type 0 (0x80000026)
    kEfficiency,   // Intel's Atom (type 0x20), AMD's type 1
    kUnknown,      // a type field that names neither
};
// What the walk learnt of one logical processor, read while it was pinned there.
struct ProcessorEntry {
    int systemNumber = 0;  // the system's number for it: what the walk and the temperature threads pin to
    bool walked = false;   // its pin succeeded: the facts below are its own, else all zero
    ApicEntry apic;
    ProcessorCaches caches;
    CoreType coreType = CoreType::kNotStated;
};
// The first package's cores and logical processors of each kind, where its
// processors state two kinds; all zero where they state one, or where the walk
// cannot vouch for the whole package or for every type (no hybrid line then).
struct HybridCores {
    uint16_t performanceCores = 0;
    uint16_t performanceThreads = 0;
    uint16_t efficiencyCores = 0;
    uint16_t efficiencyThreads = 0;
};
// What the walk met of the first processor's package, judged once after the
// walk (SummarizeTopology) for the counts, the caches and the hybrid line alike.
struct FirstPackageWalk {
    bool everyPinHeld = false;    // every processor of the walk was pinned and read
    bool idTwice = false;         // an APIC id came twice: blocks that stand for processors never reached
    bool otherPackage = false;    // the walk reached a processor of another package
    uint16_t processorsMet = 0;   // distinct processors the walk reached, in every package
    uint16_t logical = 0;         // those of the first package
    uint16_t cores = 0;           // the distinct cores among them
    // The walk met every processor of the first package, once: the cores,
    // threads and caches it met are the package's, where the leaves may count more.
    bool whole = false;

    // The hybrid line's test, which trusts the leaves' count instead: each
    // processor met once, and at least as many in the first package as the
    // leaves count there (a hybrid's leaves count its processors as they are, so
    // a walk with fewer misses cores of some kind). A walk that may have missed
    // processors (a 32-bit mask full to bit 31) vouches only where it met exactly that.
    bool MetWhatTheLeavesCount(uint16_t threadsPerPackage, uint8_t walkStoppedShort) const {
        if (!everyPinHeld || idTwice || logical < threadsPerPackage) return false;
        return walkStoppedShort == 0 || logical == threadsPerPackage;
    }
};
// Processor 0 is read from the leaf cache, which its own passes filled; every
// other one executes CPUID itself, on the processor the walk has pinned the process to.
constexpr bool ReadsCpuidLive(int index) {
    return index != 0;
}
// Caches of one size: how many, and how large each is.
struct CacheKind {
    uint16_t count;
    uint32_t sizeKb;
};

// One CCD's temperature on Zen 2 and later, as its node's sensor driver gives
// it: the package of the processors on that node, the CCD's number (N of the
// driver's TccdN) and its reading, none where its input could not be read.
struct CcdTemperature {
    uint32_t package = 0;
    uint32_t ccd = 0;
    std::optional<double> celsius;
};

class CSystemInfo {
public:
    CSystemInfo() = default;
    virtual ~CSystemInfo();
    CSystemInfo(const CSystemInfo&) = delete;
    CSystemInfo& operator=(const CSystemInfo&) = delete;

    // The detection pass: 1 when it ran to its end, 0 when an affinity check stopped it.
    int Detect(const char* dumpPath = nullptr);

    // Passes, in the order the detection pass runs them on the first processor.
    void ReadIdentification();
    void NormalizeBrand(char* name);
    int MeasureClock();
    void ReadFeatures();
    void CountCores();
    void DetectThermal();
    // Runs on every processor of the walk, pinned to it.
    void DecodeApicId(int index);
    // Runs on every processor of the walk after DecodeApicId: the L2 and L3 its own leaf lists.
    void ReadProcessorCaches(int index);
    // Runs on every processor of the walk after its caches: the kind of core it states.
    void ReadCoreType(int index);
    // The last steps of the pass: packages, Hyper-Threading state and inactive
    // cores; the cores of each kind; then the cache lines from the caches
    // every processor listed.
    void SummarizeTopology();
    void SummarizeCoreTypes();
    void SummarizeCaches();
    // AMD, and Hygon's parts built on AMD's Zen: 0x80000008, 0x8000001D and 0x8000001E.
    bool FollowsAmdTopology() const;

    // The logical processors the walk covered, pinned or not.
    uint16_t LogicalCount() const { return static_cast<uint16_t>(processors.size()); }
    // In the first walked processor's package (a processor whose pin failed has
    // an all-zero entry, package 0).
    bool InFirstPackage(const ProcessorEntry& p) const {
        return !processors.empty() && p.apic.packageId == processors.front().apic.packageId;
    }
    // The entry of a walk index, or null beyond the walk: the one bound check.
    ProcessorEntry* EntryAt(int index);
    const ProcessorEntry* EntryAt(int index) const;

    uint64_t ReadTsc();
    // On the processor the calling thread runs on; 0 when the read fails or the
    // library is not bound. Static, so a temperature thread can use it without the record.
    static uint64_t ReadMsr(uint32_t index);

    // Temperature readers: 1 with *out set, or 0 with *out untouched.
    int ReadIntelTemperature(int cpu, double* out);
    int ReadAmdTemperature(int cpu, double* out);
    // AMD: every node's CCD temperatures, node by node in the order the walk met
    // them; empty where the processor has no sensor or the system gives none.
    std::vector<CcdTemperature> ReadCcdTemperatures() const;
    // Where those readers read last, as hw::TemperatureSourceName names it;
    // null where no reading came from anywhere.
    const char* TemperatureSource() const;

    CpuidRegisters cpuid;
    HMODULE driverModule = nullptr;
    char brand[48] = {};
    // Leaf 0's vendor string ("GenuineIntel"); empty where leaf 0 names none.
    char vendorName[13] = {};
    uint8_t vendor = kVendorOther;
    // 1 for "HygonGenuine", whose vendor stays kVendorOther.
    uint8_t hygon = 0;
    uint8_t brandIndex = 0;
    uint8_t family = 0;
    uint8_t baseFamily = 0;
    uint8_t extFamily = 0;
    uint8_t model = 0;
    uint8_t baseModel = 0;
    uint8_t extModel = 0;
    uint8_t stepping = 0;
    uint16_t features = 0;
    uint8_t constTsc = 0;
    uint8_t perfMsr = 0;
    uint8_t driverStatus = ols::kNoStatus;
    uint8_t amdThermal = 0;
    uint8_t intelDts = 0;
    uint8_t tjMax = 0;
    // Where the last temperature read came from: set by the temperature readers.
    hw::TemperatureSource temperatureSource = hw::TemperatureSource::kNone;
    double coefCurrent = 1.0;
    double coefMax = 1.0;
    double freqClassic = 0.0;
    double freqClassicFixed = 0.0;
    double freqAlt1 = 0.0;
    double freqAlt2 = 0.0;
    double freqRetained = 0.0;
    // Counts are wide enough for the largest servers: hundreds of processors.
    // The L2 line is written in three places: the first processor's leaves give
    // a size (ReadCacheSizes) and a count (CountCores), both provisional;
    // SummarizeCaches, from the caches each processor listed, has the last word
    // wherever the walk lets it.
    uint16_t l2Count = 1;
    uint32_t l2SizeKb = 0;
    // L2s of other sizes than l2SizeKb (hybrid parts), in the order the walk met each size.
    std::vector<CacheKind> moreL2Kinds;
    uint32_t l3SizeKb = 0;
    uint16_t packageCount = 1;
    uint16_t coresPerPackage = 1;
    uint16_t threadsPerCore = 0;
    uint16_t threadsPerPackage = 1;
    uint8_t htState = 0;
    // 1 where the cores are leaf 1's count alone (CountCores): another maker's
    // part without leaf 11, whose APIC ids are split by that same count.
    uint8_t coresFromLeaf1Only = 0;
    uint16_t inactiveCores = 0;
    HybridCores hybridCores;
    // One entry per logical processor walked, by walk index; its size is the
    // count of logical processors. One processor until a walk says otherwise:
    // the report of a pass that stopped early shows processor 0's line.
    std::vector<ProcessorEntry> processors = std::vector<ProcessorEntry>(1);
    // 1 where the walk may not have reached every processor of the system
    // (32-bit masks, a narrower affinity): inactive cores are then not inferred.
    uint8_t walkStoppedShort = 0;
    // What the walk met of the first package (SummarizeTopology): only where it
    // met all of it do its distinct caches make the cache lines.
    FirstPackageWalk firstPackage;

private:
    void LoadLibraryStep();
    void WalkProcessors(const char* dumpPath);
    void RunFirstProcessorPasses(const char* dumpPath);
    void RestoreProcessState(const platform::ProcessorWalk& walk);
    void ReadCacheSizes();
};

extern CSystemInfo systemInfo;

// Busy-waits until at least `milliseconds` of elapsed time have passed.
void WaitMilliseconds(int32_t milliseconds);

// Thread routine of the Intel temperature reader. Its parameter is the one
// request of its ReadIntelTemperature call (see thermal.cpp), never the record,
// so a thread that finishes after its caller gave up writes only its own slot.
DWORD WINAPI DtsThreadProc(LPVOID param);
