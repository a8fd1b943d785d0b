// The record of everything detected, and the passes that fill it.
#pragma once

#include <cstdint>
#include <vector>

#include "cpuid/cpuid_leaf.h"
#include "cpuid/cpuid_registers.h"
#include "hwaccess/hw_access.h"
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
    uint32_t apicId;
    uint32_t packageId;
    uint32_t coreId;
    uint32_t threadId;
};
// One cache as a processor's own leaf lists it: its id (the processor's APIC id
// with the bits of the ids sharing it cleared) and its size.
struct CacheInstance {
    uint32_t id;
    uint32_t sizeKb;
    uint32_t sharedBy;  // the logical processors its leaf says share it
};
// The L2 and L3 one processor lists, by walk index.
struct ProcessorCaches {
    uint8_t flags;  // kCachesRead | kListsL2 | kListsL3
    CacheInstance l2;
    CacheInstance l3;
};
constexpr uint8_t kCachesRead = 1;  // the walk reached the processor
constexpr uint8_t kListsL2 = 2;
constexpr uint8_t kListsL3 = 4;
// Caches of one size: how many, and how large each is.
struct CacheKind {
    uint16_t count;
    uint32_t sizeKb;
};

class CSystemInfo {
public:
    CSystemInfo();
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
    // The last steps of the pass: packages, Hyper-Threading state and inactive
    // cores; then the cache lines from the caches every processor listed.
    void SummarizeTopology();
    void SummarizeCaches();
    // AMD, and Hygon's parts built on AMD's Zen: 0x80000008, 0x8000001D and 0x8000001E.
    bool FollowsAmdTopology() const;

    uint64_t ReadTsc();
    // On the processor the calling thread runs on; 0 when the read fails or the
    // library is not bound. Static, so a temperature thread can use it without the record.
    static uint64_t ReadMsr(uint32_t index);

    // Temperature readers: 1 with *out set, or 0 with *out untouched.
    int ReadIntelTemperature(int cpu, double* out);
    int ReadAmdTemperature(int cpu, double* out);

    CpuidRegisters cpuid;
    HMODULE driverModule;
    char brand[48];
    uint8_t vendor;
    // 1 for "HygonGenuine", whose vendor stays kVendorOther.
    uint8_t hygon;
    uint8_t brandIndex;
    uint8_t family;
    uint8_t baseFamily;
    uint8_t extFamily;
    uint8_t model;
    uint8_t baseModel;
    uint8_t extModel;
    uint8_t stepping;
    uint16_t features;
    uint8_t constTsc;
    uint8_t perfMsr;
    uint8_t driverStatus;
    uint8_t amdThermal;
    uint8_t intelDts;
    uint8_t tjMax;
    // Where the last temperature read came from: set by the temperature readers.
    hw::TemperatureSource temperatureSource = hw::TemperatureSource::kNone;
    double coefCurrent;
    double coefMax;
    double freqClassic;
    double freqClassicFixed;
    double freqAlt1;
    double freqAlt2;
    double freqRetained;
    // Counts are wide enough for the largest servers: hundreds of processors.
    uint16_t l2Count;
    uint32_t l2SizeKb;
    // L2s of other sizes than l2SizeKb (hybrid parts), in the order the walk met each size.
    std::vector<CacheKind> moreL2Kinds;
    uint32_t l3SizeKb;
    uint16_t logicalCount;
    uint16_t packageCount;
    uint16_t coresPerPackage;
    uint16_t threadsPerCore;
    uint16_t threadsPerPackage;
    uint8_t htState;
    uint16_t inactiveCores;
    // One entry per processor walked, by walk index; a processor whose pin
    // failed keeps an all-zero entry.
    std::vector<ApicEntry> apicTable;
    // The system's number of each processor walked, by the same index: what
    // the temperature threads pin to.
    std::vector<int> walkedProcessors;
    // What each processor's own cache leaf lists, by the same index.
    std::vector<ProcessorCaches> cacheTable;
    // 1 where the walk may not have reached every processor of the system
    // (32-bit masks, a narrower affinity): inactive cores are then not inferred.
    uint8_t walkStoppedShort;

private:
    void LoadLibraryStep();
    void WalkProcessors(const char* dumpPath);
    void RunFirstProcessorPasses(const char* dumpPath);
    void RestoreProcessState(const platform::ProcessorWalk& walk);
    void ReadCacheSizes();
    void SummarizeHybrid();
};

extern CSystemInfo systemInfo;

// Busy-waits until at least `milliseconds` of elapsed time have passed.
void WaitMilliseconds(int32_t milliseconds);

// Thread routine of the Intel temperature reader. Its parameter is the one
// request of its ReadIntelTemperature call (see thermal.cpp), never the record,
// so a thread that finishes after its caller gave up writes only its own slot.
DWORD WINAPI DtsThreadProc(LPVOID param);
