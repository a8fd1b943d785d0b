// The kind of core each processor states, read on that processor during the walk.
#include <gtest/gtest.h>

#include <vector>

#include "case_names.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

constexpr uint32_t kHybridBit = 0x8000;  // leaf 7 EDX bit 15
constexpr uint32_t kIntelCore = 0x40000000;  // leaf 0x1A EAX[31:24] = 0x40
constexpr uint32_t kIntelAtom = 0x20000000;  // 0x20
constexpr uint32_t kAmdEfficiency = 0x10000000;  // 0x80000026 EBX[31:28] = 1

// Two processors; the second is read while the walk has it pinned. The first
// states the other kind, so a read from the wrong processor shows.
struct TypeCase : case_names::Named {
    uint8_t vendor;
    uint32_t maxStdLeaf;
    uint32_t maxExtLeaf;
    uint32_t leaf7Edx;
    uint32_t leaf1AEax;      // the second processor's
    uint32_t leaf26Ebx;      // the second processor's 0x80000026 subleaf 0
    CoreType expected;
};

class CoreTypeTest : public SimTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(CoreTypeTest, ReadsTheTypeThePinnedProcessorStates) {
    const TypeCase& c = GetParam();
    sim::Machine& m = NewMachine(2);
    m.SetAll(0, 0, {c.maxStdLeaf, 0, 0, 0});
    m.SetAll(0x80000000, 0, {c.maxExtLeaf, 0, 0, 0});
    m.SetAll(7, 0, {0, 0, 0, c.leaf7Edx});
    m.Cpu(0).Set(0x1A, {(c.leaf1AEax >> 24) == 0x40 ? kIntelAtom : kIntelCore, 0, 0, 0});
    m.Cpu(1).Set(0x1A, {c.leaf1AEax, 0, 0, 0});
    m.Cpu(0).Set(0x80000026, {0, (c.leaf26Ebx >> 28) == 0 ? kAmdEfficiency : 0, 0, 0});
    m.Cpu(1).Set(0x80000026, {0, c.leaf26Ebx, 0, 0});
    CSystemInfo& info = Record();
    info.cpuid.Init(nullptr);  // the first processor's leaves
    info.vendor = c.vendor;
    AsIfWalked(info, 2);
    m.affinity = 2;  // pinned to processor 1

    info.ReadCoreType(1);

    EXPECT_EQ(info.processors[1].coreType, c.expected);
}

TypeCase Intel(const char* name, uint32_t leaf1AEax, CoreType expected) {
    return {{name}, kVendorIntel, 0x23, 0x80000008, kHybridBit, leaf1AEax, 0, expected};
}
TypeCase Amd(const char* name, uint32_t leaf26Ebx, CoreType expected) {
    return {{name}, kVendorAmd, 0x10, 0x80000028, 0, 0, leaf26Ebx, expected};
}
TypeCase WithoutHybridBit(TypeCase c) {
    c.leaf7Edx = 0;
    return c;
}
TypeCase WithHighestLeaves(TypeCase c, uint32_t maxStdLeaf, uint32_t maxExtLeaf) {
    c.maxStdLeaf = maxStdLeaf;
    c.maxExtLeaf = maxExtLeaf;
    return c;
}
TypeCase OfVendor(TypeCase c, uint8_t vendor) {
    c.vendor = vendor;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Leaves, CoreTypeTest,
    ::testing::Values(
        Intel("IntelCore", kIntelCore | 0x01, CoreType::kPerformance),
        Intel("IntelAtom", kIntelAtom | 0x03, CoreType::kEfficiency),
        Intel("IntelReservedType", 0x10000000, CoreType::kUnknown),
        Intel("IntelLeafOfZeros", 0, CoreType::kUnknown),
        WithoutHybridBit(Intel("IntelOneKindListsTheLeafAnyway", kIntelCore, CoreType::kNotStated)),
        WithHighestLeaves(Intel("IntelHighestLeafBelow1A", kIntelCore, CoreType::kNotStated), 0x16, 0x80000008),
        Amd("AmdPerformance", 0x00000002, CoreType::kPerformance),
        Amd("AmdEfficiency", kAmdEfficiency | 0x02, CoreType::kEfficiency),
        Amd("AmdReservedType", 0x20000002, CoreType::kUnknown),
        WithHighestLeaves(Amd("AmdHighestLeafBelow80000026", kAmdEfficiency, CoreType::kNotStated), 0x10, 0x80000025),
        OfVendor(Intel("OtherMakersLeaf1A", kIntelCore, CoreType::kNotStated), kVendorOther)),
    case_names::ByName{});

// The walk reads each processor's type as it reads its caches: the i7-12700H's
// blocks 0-11 are its six P-cores' threads (leaf 0x1A EAX 0x40000001), blocks
// 12-19 its eight E-cores (0x20000001).
class WalkTest : public SimTest {};

TEST_F(WalkTest, ReadsEveryProcessorsType) {
    MachineFromDump("GenuineIntel00906A2_AlderLakeP_00_CPUID.txt");
    CSystemInfo& info = Record();
    ASSERT_EQ(info.Detect(), 1);
    ASSERT_EQ(info.LogicalCount(), 20);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(info.processors[static_cast<size_t>(i)].coreType, i < 12 ? CoreType::kPerformance : CoreType::kEfficiency)
            << "block " << i;
    }
}

// A 32-thread hybrid as the Windows program sees it (an i9-13900K's layout: 8
// P-cores of two threads at x2APIC ids 0-15, 16 E-cores at ids 32, 34, ... 62).
// A 32-bit mask full to bit 31 may hide more processors, so the walk stopped
// short; it still met the whole package where leaf 0xB's package count is the 32
// it met. Where the counts differ, one of them is not the package.
void MakeThirtyTwoThreadHybrid(sim::Machine& m, uint32_t packageThreads) {
    for (int cpu = 0; cpu < 32; ++cpu) {
        const bool pCore = cpu < 16;
        const uint32_t id = pCore ? static_cast<uint32_t>(cpu) : static_cast<uint32_t>(32 + 2 * (cpu - 16));
        sim::Processor& p = m.Cpu(cpu);
        p.Set(0, {0x1A, 0x756E6547, 0x6C65746E, 0x49656E69});  // "GenuineIntel"
        p.Set(1, {0x000B0671, (id << 24) | (packageThreads << 16), 0, 0x10000000});
        p.Set(7, 0, {0, 0, 0, kHybridBit});
        p.Set(11, 0, {1, 2, 0x100, id});
        p.Set(11, 1, {7, packageThreads, 0x201, id});
        p.Set(0x1A, {pCore ? kIntelCore : kIntelAtom, 0, 0, 0});
        p.Set(0x80000000, {0x80000008, 0, 0, 0});
    }
    m.processMask = m.systemMask = 0xFFFFFFFFu;
}

struct MaskCase : case_names::Named {
    uint32_t packageThreads;  // what leaf 0xB says the package holds
    const char* expected;     // what follows the threads-per-core line
};

class FullMaskTest : public SimTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(FullMaskTest, VouchesForThePackageOnlyWhereTheCountsAgree) {
    const MaskCase& c = GetParam();
    MakeThirtyTwoThreadHybrid(NewMachine(32), c.packageThreads);
    ASSERT_EQ(RunWholeProgram(), 0);
    EXPECT_NE(machine->output.find(std::string("Nombre max de thread par core : 2\n") + c.expected), std::string::npos)
        << machine->output;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, FullMaskTest,
    ::testing::Values(MaskCase{{"TheMaskHoldsThePackage"}, 32, "Cores hybrides : 8 P (16 threads) + 16 E (16 threads)\n"},
                      MaskCase{{"ThePackageHoldsMoreThanTheMask"}, 36, "Nombre total de processeurs logiques : 32\n"},
                      MaskCase{{"TheLeavesSayLessThanTheMaskHolds"}, 24, "Nombre total de processeurs logiques : 32\n"}),
    case_names::ByName{});

}  // namespace
