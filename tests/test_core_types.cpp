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

}  // namespace
