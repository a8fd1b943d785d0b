// Core counts and APIC id decoding on simulated processors.
#include <gtest/gtest.h>

#include <vector>

#include "sim_test_support.h"

namespace {

constexpr uint32_t kHtt = 0x10000000;  // leaf 1 EDX bit 28

// Leaf 1 EBX with the logical processor count in bits 23..16 and the initial APIC id in 31..24.
uint32_t Leaf1Ebx(uint32_t logical, uint32_t apicId = 0) {
    return (apicId << 24) | (logical << 16) | 0x0800;
}

// Real leaf 4 descriptors of a four-core, eight-thread processor (two threads per L1 and L2).
const std::vector<sim::Registers> kBloomfieldLeaf4 = {
    {0x1C004121, 0x01C0003F, 0x0000003F, 0},
    {0x1C004122, 0x00C0003F, 0x0000007F, 0},
    {0x1C004143, 0x01C0003F, 0x000001FF, 0},
    {0x1C03C163, 0x03C0003F, 0x00001FFF, 2},
};

// Real leaf 4 descriptors of an Atom with two-core modules: one id per L1, four per L2.
const std::vector<sim::Registers> kAtomModuleLeaf4 = {
    {0x1C000121, 0x0140003F, 0x0000003F, 1},
    {0x1C000122, 0x01C0003F, 0x0000003F, 1},
    {0x1C00C143, 0x03C0003F, 0x000003FF, 1},
};

class TopologyTest : public SimTest {
protected:
    sim::Processor& Cpu(int index = 0) { return machine->Cpu(index); }

    void Leaves(uint32_t maxStdLeaf, uint32_t maxExtLeaf, int cpu = 0) {
        Cpu(cpu).Set(0, {maxStdLeaf, 0, 0, 0});
        Cpu(cpu).Set(0x80000000, {maxExtLeaf, 0, 0, 0});
    }

    void Leaf4(const std::vector<sim::Registers>& subleaves) {
        for (size_t s = 0; s < subleaves.size(); ++s) Cpu().Set(4, static_cast<uint32_t>(s), subleaves[s]);
    }

    CSystemInfo& Cached(uint8_t vendor, uint8_t family) {
        CSystemInfo& info = Record();
        info.cpuid.Init(nullptr);
        info.vendor = vendor;
        info.family = family;
        AsIfWalked(info, static_cast<int>(machine->processors.size()));
        return info;
    }
};

// --- CountCores ------------------------------------------------------------------------

struct CountCase {
    const char* what;
    uint8_t vendor;
    uint8_t family;
    uint32_t maxStdLeaf;
    uint32_t maxExtLeaf;
    sim::Registers leaf1;
    std::vector<sim::Registers> leaf4;
    sim::Registers leaf11Sub0;
    sim::Registers leaf11Sub1;
    uint32_t leaf80000008Ecx;
    uint16_t threadsPerPackage, threadsPerCore, coresPerPackage, l2Count;
    uint8_t htState;
    uint32_t leaf8000001EEbx = 0;  // threads per core - 1 in bits 15..8 from Zen on
};

TEST_F(TopologyTest, CountCoresBranches) {
    const std::vector<sim::Registers> tenthLeafFourCores = {{0x0C000021, 0, 0, 0}, {0x0C004043, 0, 0, 0}};
    const std::vector<sim::Registers> oneCoreTwoThreads = {{0x00004121, 0, 0, 0}, {0x00004143, 0, 0, 0}};
    const CountCase cases[] = {
        {"Intel leaf 11, HT on", 1, 6, 11, 0x80000008, {0x106A4, Leaf1Ebx(16), 0, kHtt}, kBloomfieldLeaf4,
         {1, 2, 0x100, 0}, {4, 8, 0x201, 0}, 0, 8, 2, 4, 4, 1},
        {"Intel leaf 11, HT off: one L2 per logical processor", 1, 6, 11, 0x80000008,
         {0x106A4, Leaf1Ebx(16), 0, kHtt}, kBloomfieldLeaf4, {1, 1, 0x100, 0}, {4, 4, 0x201, 0}, 0, 4, 1, 4, 4, 1},
        {"Intel leaf 11 reporting no counts: leaf 1 count", 1, 6, 11, 0x80000008, {0x106A4, Leaf1Ebx(16), 0, kHtt},
         kBloomfieldLeaf4, {}, {}, 0, 16, 1, 16, 16, 1},
        {"Intel leaf 11 SMT count with a zero low 16 bits is stored as 1", 1, 6, 11, 0x80000008,
         {0x106A4, Leaf1Ebx(16), 0, kHtt}, kBloomfieldLeaf4, {1, 0x10000, 0x100, 0}, {4, 4, 0x201, 0}, 0, 4, 1, 4,
         4, 1},
        // Leaf 11's counts are 16 bits: 288 cores of one thread (leaf 1's byte says 0x20), two per L2.
        {"Intel leaf 11 beyond 255 per package", 1, 6, 11, 0x80000008, {0xA06F3, Leaf1Ebx(0x20), 0, kHtt},
         kBloomfieldLeaf4, {0, 1, 0x100, 0}, {9, 288, 0x201, 0}, 0, 288, 1, 288, 144, 1},
        // Atom modules: ids 0, 2, 4, 6 (thread shift 1, one thread per core), 4 ids per L2.
        {"Intel leaf 11, ids spaced apart: cores per L2 from the shared ids", 1, 6, 11, 0x80000008,
         {0x30673, Leaf1Ebx(16), 0, kHtt}, kAtomModuleLeaf4, {1, 1, 0x100, 0}, {4, 4, 0x201, 0}, 0, 4, 1, 4, 2, 1},
        {"Intel leaf 11, L2 sharing count wrapped to 0: one L2 per logical processor as before", 1, 6, 11,
         0x80000008, {0x30673, Leaf1Ebx(16), 0, kHtt}, {{0x1C000121, 0, 0, 0}, {0x1FFFC143, 0, 0, 0}},
         {1, 1, 0x100, 0}, {4, 4, 0x201, 0}, 0, 4, 1, 4, 4, 1},
        {"Intel leaf 4 without leaf 11", 1, 6, 10, 0, {0x6F6, Leaf1Ebx(4), 0, kHtt}, tenthLeafFourCores, {}, {}, 0,
         4, 1, 4, 2, 1},
        {"Intel leaf 4, one core, two threads", 1, 15, 5, 0, {0xF41, Leaf1Ebx(2), 0, kHtt}, oneCoreTwoThreads, {},
         {}, 0, 2, 2, 1, 1, 1},
        {"Intel without leaf 4, two threads", 1, 15, 2, 0x80000004, {0xF29, Leaf1Ebx(2), 0, kHtt}, {}, {}, {}, 0,
         2, 2, 1, 1, 1},
        {"Intel without leaf 4, count 0 read as 1", 1, 6, 3, 0, {0x683, 0x00000002, 0, 0}, {}, {}, {}, 0, 1, 1, 1,
         1, 0},
        {"AMD family 0x15: two cores per L2", 2, 0x15, 13, 0x8000001E, {0x600F12, Leaf1Ebx(8), 0, kHtt}, {}, {}, {},
         0x4007, 8, 1, 8, 4, 1},
        // From Zen on, with SMT the field counts threads: 16 of them, 2 per core.
        {"AMD Zen with SMT: cores are threads / threads per core", 2, 0x17, 13, 0x8000001F,
         {0x800F11, Leaf1Ebx(16), 0, kHtt}, {}, {}, {}, 0x400F, 16, 2, 8, 8, 1, 0x0100},
        {"AMD Zen with SMT off: one thread per core, counted as before", 2, 0x19, 16, 0x80000028,
         {0xA10F81, Leaf1Ebx(32), 0, kHtt}, {}, {}, {}, 0x601F, 32, 1, 32, 32, 1, 0x0000},
        {"AMD Zen with 256 threads: the core count is taken before it wraps", 2, 0x19, 16, 0x80000028,
         {0xA10F81, Leaf1Ebx(0), 0, kHtt}, {}, {}, {}, 0x70FF, 1, 2, 128, 128, 1, 0x0100},
        {"AMD family 0x15: 0x8000001E counts cores per module, not threads", 2, 0x15, 13, 0x8000001E,
         {0x600F12, Leaf1Ebx(8), 0, kHtt}, {}, {}, {}, 0x4007, 8, 1, 8, 4, 1, 0x0100},
        {"AMD family 0x10", 2, 0x10, 5, 0x8000001B, {0x100F42, Leaf1Ebx(4), 0, kHtt}, {}, {}, {}, 0x2003, 4, 1, 4,
         4, 1},
        {"AMD family 0x15, one core", 2, 0x15, 13, 0x8000001E, {0x600F12, Leaf1Ebx(1), 0, 0}, {}, {}, {}, 0x0000, 1,
         1, 1, 1, 0},
        {"AMD core field 0xFF wraps to 0, stored as 1", 2, 0x10, 5, 0x80000008, {0x100F42, Leaf1Ebx(4), 0, kHtt},
         {}, {}, {}, 0x00FF, 4, 1, 1, 1, 1},
        {"AMD without leaf 0x80000008", 2, 0x0F, 1, 0x80000006, {0x20F32, Leaf1Ebx(2), 0, kHtt}, {}, {}, {}, 0x0003,
         2, 1, 2, 2, 1},
        // A VIA Samuel's leaf 1 EBX is garbage: 112 logical processors, no HTT flag.
        {"other vendor without HTT: a count above the processors present is not believed", 0, 6, 1, 0x80000005,
         {0x660, 0xC1704000, 0, 0}, {}, {}, {}, 0, 1, 1, 1, 1, 0},
        {"Intel without HTT keeps leaf 1's count", 1, 6, 3, 0, {0x6F6, Leaf1Ebx(8), 0, 0}, {}, {}, {}, 0, 8, 2, 1,
         1, 0},
        {"other vendor with a filled-in leaf 11: threads per core and per package from it", 0, 6, 11, 0x80000008,
         {0x6F2, Leaf1Ebx(16), 0, kHtt}, {}, {1, 2, 0x100, 0}, {4, 8, 0x201, 0}, 0, 8, 2, 4, 4, 1},
        {"other vendor, leaf 11 and leaf 4: cores per L2 from the shared ids", 0, 7, 13, 0x80000008,
         {0x307B1, Leaf1Ebx(8), 0, kHtt}, {{0x1C000121, 0, 0, 0}, {0x1C00C143, 0, 0, 0}}, {0, 1, 0x100, 0},
         {3, 8, 0x201, 0}, 0, 8, 1, 8, 2, 1},
        {"other vendor, leaf 11 without its core level: leaf 1's count", 0, 6, 11, 0x80000008,
         {0x6F2, Leaf1Ebx(16), 0, kHtt}, {}, {1, 2, 0x100, 0}, {}, 0, 16, 1, 16, 16, 1},
        {"other vendor", 0, 6, 10, 0x80000008, {0x6F2, Leaf1Ebx(2), 0, 0}, oneCoreTwoThreads, {1, 2, 0x100, 0},
         {4, 8, 0x201, 0}, 0x0007, 2, 1, 2, 2, 0},
    };
    for (const CountCase& c : cases) {
        NewMachine(1);
        Leaves(c.maxStdLeaf, c.maxExtLeaf);
        Cpu().Set(1, c.leaf1);
        Leaf4(c.leaf4);
        Cpu().Set(11, 0, c.leaf11Sub0);
        Cpu().Set(11, 1, c.leaf11Sub1);
        Cpu().Set(0x80000008, {0x3030, 0, c.leaf80000008Ecx, 0});
        Cpu().Set(0x8000001E, {0, c.leaf8000001EEbx, 0, 0});
        CSystemInfo& info = Cached(c.vendor, c.family);
        AsIfWalked(info, 4);  // the processors present
        info.CountCores();
        EXPECT_EQ(info.threadsPerPackage, c.threadsPerPackage) << c.what;
        EXPECT_EQ(info.threadsPerCore, c.threadsPerCore) << c.what;
        EXPECT_EQ(info.coresPerPackage, c.coresPerPackage) << c.what;
        EXPECT_EQ(info.l2Count, c.l2Count) << c.what;
        EXPECT_EQ(info.htState, c.htState) << c.what;
    }
}

// Leaf 4 that never reports cache type 0: read up to subleaf 255, whose level-1 entry is the last that counts.
TEST_F(TopologyTest, CountCoresStopsLeaf4AfterSubleaf255) {
    Leaves(10, 0);
    Cpu().Set(1, {0x6F6, Leaf1Ebx(12), 0, kHtt});
    for (uint32_t s = 0; s < 300; ++s) Cpu().Set(4, s, {s < 256 ? 0x04000121u : 0x24000121u, 0, 0, 0});
    Cpu().Set(4, 255, {0x14000121, 0, 0, 0});  // six cores
    CSystemInfo& info = Cached(1, 6);
    info.CountCores();
    EXPECT_EQ(info.coresPerPackage, 6);
    EXPECT_EQ(info.threadsPerCore, 2);
}

// --- DecodeApicId ------------------------------------------------------------------------

struct ApicCase {
    const char* what;
    uint8_t vendor;
    uint32_t maxStdLeaf;
    uint32_t maxExtLeaf;
    uint32_t leaf1Ebx;
    sim::Registers leaf11Sub0;
    sim::Registers leaf11Sub1;
    uint32_t leaf80000008Ecx;
    uint8_t threadsPerPackage, threadsPerCore, coresPerPackage;
    ApicEntry expected;
};

TEST_F(TopologyTest, DecodeApicIdMethods) {
    const ApicCase cases[] = {
        {"topology leaf", 1, 11, 0x80000008, 0, {1, 2, 0x100, 0x13}, {4, 8, 0x201, 0x13}, 0, 8, 2, 4,
         {0x13, 1, 1, 1}},
        {"topology leaf, x2APIC id above 255 is the whole number", 1, 11, 0x80000008, 0, {1, 2, 0x100, 0x1A5},
         {5, 12, 0x201, 0x1A5}, 0, 12, 2, 6, {0x1A5, 13, 2, 1}},
        // The 8-bit difference 0 - 1 is 255: a mask of 0xFF.
        {"topology leaf, package shift below thread shift", 1, 11, 0x80000008, 0, {1, 2, 0x100, 0x13},
         {0, 0, 0, 0x13}, 0, 8, 2, 4, {0x13, 0x13, 9, 1}},
        {"topology leaf, thread shift of 9", 1, 11, 0x80000008, 0, {9, 2, 0x100, 0xAB}, {12, 8, 0x201, 0xAB}, 0, 8,
         2, 4, {0xAB, 0, 0, 0xAB}},
        {"AMD core width from leaf 0x80000008", 2, 5, 0x80000008, Leaf1Ebx(4, 5), {}, {}, 0x2003, 4, 1, 4,
         {5, 1, 1, 0}},
        {"AMD single core, reported core width 0: package is the APIC id", 2, 5, 0x80000008, Leaf1Ebx(1, 5), {}, {},
         0x0000, 1, 1, 1, {5, 5, 0, 0}},
        {"AMD K8 dual-core, reported core width 0: the width of two cores", 2, 1, 0x80000018, Leaf1Ebx(2, 3), {}, {},
         0x0001, 2, 1, 2, {3, 1, 1, 0}},
        {"AMD without core width: from the core count", 2, 5, 0x80000008, Leaf1Ebx(3, 6), {}, {}, 0x0000, 3, 1, 3,
         {6, 1, 2, 0}},
        {"AMD Zen with SMT: the thread is the lowest id bit", 2, 13, 0x8000001F, Leaf1Ebx(16, 0x13), {}, {},
         0x400F, 16, 2, 8, {0x13, 1, 1, 1}},
        {"AMD without leaf 0x80000008: from the counts", 2, 1, 0x80000006, Leaf1Ebx(4, 5), {}, {}, 0x2003, 4, 1, 4,
         {5, 1, 1, 0}},
        {"Intel with leaf 11 all zeros: from the counts", 1, 13, 0x80000008, Leaf1Ebx(2, 1), {}, {}, 0, 2, 1, 2,
         {1, 0, 1, 0}},
        {"Intel without leaf 11: from the counts", 1, 10, 0x80000008, Leaf1Ebx(4, 3), {1, 2, 0x100, 0x13},
         {4, 8, 0x201, 0x13}, 0, 4, 1, 4, {3, 0, 3, 0}},
        {"one thread per package", 1, 3, 0, Leaf1Ebx(1, 3), {}, {}, 0, 1, 1, 1, {3, 3, 0, 0}},
        {"three threads per core: shift 2, mask 3", 0, 10, 0x80000008, Leaf1Ebx(6, 14), {}, {}, 0, 6, 3, 2,
         {14, 1, 1, 2}},
        {"counts from 129 to 255 give width 8", 0, 10, 0x80000008, Leaf1Ebx(255, 0xAB), {}, {}, 0, 255, 200, 130,
         {0xAB, 0, 0, 0xAB}},
        {"other vendor: leaf 11's x2APIC id, split by the counts", 0, 11, 0x80000008, Leaf1Ebx(2, 1),
         {1, 2, 0x100, 0x13}, {4, 8, 0x201, 0x13}, 0, 2, 2, 1, {0x13, 9, 0, 1}},
        {"other vendor with leaf 11 empty: leaf 1's byte", 0, 11, 0x80000008, Leaf1Ebx(2, 1), {}, {}, 0, 2, 2, 1,
         {1, 0, 0, 1}},
        // Two 96-core EPYCs: leaf 1's byte of id 0x1BF wraps to 0xBF; 0x8000001E's width 8 puts it in package 1.
        {"AMD with leaf 0xB: the x2APIC id beyond 255", 2, 16, 0x80000008, Leaf1Ebx(128, 0xBF), {1, 2, 0x100, 0x1BF},
         {8, 192, 0x201, 0x1BF}, 0x80BF, 192, 2, 96, {0x1BF, 1, 95, 1}},
    };
    for (const ApicCase& c : cases) {
        NewMachine(1);
        Leaves(c.maxStdLeaf, c.maxExtLeaf);
        Cpu().Set(1, {0, c.leaf1Ebx, 0, 0});
        Cpu().Set(11, 0, c.leaf11Sub0);
        Cpu().Set(11, 1, c.leaf11Sub1);
        Cpu().Set(0x80000008, {0x3030, 0, c.leaf80000008Ecx, 0});
        CSystemInfo& info = Cached(c.vendor, 6);
        info.threadsPerPackage = c.threadsPerPackage;
        info.threadsPerCore = c.threadsPerCore;
        info.coresPerPackage = c.coresPerPackage;
        info.DecodeApicId(0);
        const ApicEntry& e = info.processors[0].apic;
        EXPECT_EQ(e.apicId, c.expected.apicId) << c.what;
        EXPECT_EQ(e.packageId, c.expected.packageId) << c.what;
        EXPECT_EQ(e.coreId, c.expected.coreId) << c.what;
        EXPECT_EQ(e.threadId, c.expected.threadId) << c.what;
    }
}

// Processor 0 is read from the cache even while another processor runs; every other
// index executes CPUID on the processor the process is pinned to.
TEST_F(TopologyTest, DecodeApicIdQueriesLiveExactlyForNonZeroIndexes) {
    NewMachine(2);
    for (int cpu = 0; cpu < 2; ++cpu) {
        Leaves(11, 0x80000008, cpu);
        Cpu(cpu).Set(11, 0, {1, 2, 0x100, uint32_t(cpu == 0 ? 0x00 : 0x03)});
        Cpu(cpu).Set(11, 1, {4, 8, 0x201, uint32_t(cpu == 0 ? 0x00 : 0x03)});
    }
    CSystemInfo& info = Cached(1, 6);
    machine->affinity = 2;  // pinned to processor 1

    const int executions = machine->cpuidExecutions;
    info.DecodeApicId(0);
    EXPECT_EQ(machine->cpuidExecutions, executions);
    EXPECT_EQ(info.processors[0].apic.apicId, 0);

    info.DecodeApicId(1);
    EXPECT_GT(machine->cpuidExecutions, executions);
    EXPECT_EQ(info.processors[1].apic.apicId, 3);
    EXPECT_EQ(info.processors[1].apic.coreId, 1);
    EXPECT_EQ(info.processors[1].apic.threadId, 1);
}

// An index past the walked entries writes nothing (the sanitizer would see a write past the table).
TEST_F(TopologyTest, DecodeApicIdIgnoresIndexesPastTheTable) {
    Leaves(11, 0x80000008);
    Cpu().Set(11, 0, {1, 2, 0x100, 0x13});
    CSystemInfo& info = Cached(1, 6);
    info.DecodeApicId(32);
    info.DecodeApicId(255);
    for (const ProcessorEntry& p : info.processors) {
        EXPECT_EQ(p.apic.apicId + p.apic.packageId + p.apic.coreId + p.apic.threadId, 0);
    }
}

}  // namespace
