// The CPUID leaf cache: which queries are answered from the cache filled on the
// first processor, which read as zeros, and which execute the instruction.
#include <gtest/gtest.h>

#include "case_names.h"
#include "cpuid/cpuid_registers.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

// A value that names its leaf and subleaf, and the generation of the answers,
// so a cached answer can be told from a fresh execution.
sim::Registers Marked(uint32_t leaf, uint32_t subleaf, uint32_t generation) {
    return sim::Registers{leaf, subleaf, generation, 0x5A5A5A5A};
}

void FillProcessor(sim::Processor& p, uint32_t maxStd, uint32_t maxExt, uint32_t generation) {
    p.cpuid.clear();
    p.Set(0, sim::Registers{maxStd, 0x756E6547, 0x6C65746E, 0x49656E69});
    for (uint32_t leaf = 1; leaf <= 0x20; ++leaf) {
        for (uint32_t sub = 0; sub < 6; ++sub) p.Set(leaf, sub, Marked(leaf, sub, generation));
    }
    p.Set(0x80000000, sim::Registers{maxExt, 0, 0, 0});
    for (uint32_t leaf = 0x80000001; leaf <= 0x80000010; ++leaf) p.Set(leaf, Marked(leaf, 0, generation));
    p.Set(0x40000000, Marked(0x40000000, 0, generation));
}

enum class Answer { Cached, Zero, Executed };

struct QueryCase {
    const char* name;
    uint32_t maxStd;
    uint32_t maxExt;
    uint32_t leaf;
    uint32_t subleaf;
    Answer answer;
};

class CpuidCacheTest : public SimTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(CpuidCacheTest, AnswersFromCacheZerosOrInstruction) {
    const QueryCase& c = GetParam();
    FillProcessor(machine->Cpu(0), c.maxStd, c.maxExt, 1);
    CpuidRegisters regs;
    regs.Init(nullptr);
    // The processor now answers differently: only a fresh execution sees generation 2.
    FillProcessor(machine->Cpu(0), c.maxStd, c.maxExt, 2);
    const int before = machine->cpuidExecutions;

    regs.Query(c.leaf, c.subleaf, false);

    const int executed = machine->cpuidExecutions - before;
    switch (c.answer) {
        case Answer::Cached:
            EXPECT_EQ(executed, 0);
            EXPECT_EQ(regs.eax, c.leaf);
            EXPECT_EQ(regs.ebx, c.subleaf);
            EXPECT_EQ(regs.ecx, 1u);
            break;
        case Answer::Zero:
            EXPECT_EQ(executed, 0);
            EXPECT_EQ(regs.eax | regs.ebx | regs.ecx | regs.edx, 0u);
            break;
        case Answer::Executed:
            EXPECT_EQ(executed, 1);
            EXPECT_EQ(regs.eax, c.leaf);
            EXPECT_EQ(regs.ebx, c.subleaf);
            EXPECT_EQ(regs.ecx, 2u);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CpuidCacheTest,
    ::testing::Values(
        QueryCase{"Std3Leaf3", 3, 0x80000008, 3, 0, Answer::Cached},
        QueryCase{"Std3Leaf4", 3, 0x80000008, 4, 0, Answer::Zero},
        QueryCase{"Std3Leaf4Sub1FromEmptyEntry", 3, 0x80000008, 4, 1, Answer::Zero},
        QueryCase{"Std3Leaf11Sub1FromEmptyEntry", 3, 0x80000008, 11, 1, Answer::Zero},
        QueryCase{"Std4Leaf5", 4, 0x80000008, 5, 0, Answer::Zero},
        QueryCase{"Std4Hypervisor", 4, 0x80000008, 0x40000000, 0, Answer::Zero},
        QueryCase{"Std10Leaf11Sub1", 10, 0x80000008, 11, 1, Answer::Zero},
        QueryCase{"Std10Leaf11Sub2", 10, 0x80000008, 11, 2, Answer::Executed},
        QueryCase{"Std16Leaf4Sub3", 16, 0x80000008, 4, 3, Answer::Cached},
        QueryCase{"Std16Leaf4Sub4", 16, 0x80000008, 4, 4, Answer::Executed},
        QueryCase{"Std16Leaf7Sub1", 16, 0x80000008, 7, 1, Answer::Executed},
        QueryCase{"Std16Leaf11Sub1", 16, 0x80000008, 11, 1, Answer::Cached},
        QueryCase{"Std16Leaf11Sub2", 16, 0x80000008, 11, 2, Answer::Executed},
        QueryCase{"Std0Leaf0", 0, 0x80000008, 0, 0, Answer::Zero},
        QueryCase{"Std0Leaf1", 0, 0x80000008, 1, 0, Answer::Zero},
        QueryCase{"Ext6Leaf6", 10, 0x80000006, 0x80000006, 0, Answer::Cached},
        QueryCase{"Ext6Leaf7", 10, 0x80000006, 0x80000007, 0, Answer::Zero},
        QueryCase{"Ext6Leaf8", 10, 0x80000006, 0x80000008, 0, Answer::Zero},
        QueryCase{"ExtExactlyBaseHasNoTable", 10, 0x80000000, 0x80000000, 0, Answer::Zero},
        QueryCase{"ExtBelowBaseLeaf0", 10, 0x7FFFFFFF, 0x80000000, 0, Answer::Zero},
        QueryCase{"ExtBelowBaseLeaf1", 10, 0x7FFFFFFF, 0x80000001, 0, Answer::Zero}),
    case_names::ByName{});

class CpuidSourceTest : public SimTest {};

TEST_F(CpuidSourceTest, BeforeInitEveryQueryExecutes) {
    FillProcessor(machine->Cpu(0), 4, 0x80000004, 1);
    CpuidRegisters regs;
    for (uint32_t leaf : {0u, 1u, 0x40000000u, 0x80000004u}) {
        const int before = machine->cpuidExecutions;
        regs.Query(leaf, 0, false);
        EXPECT_EQ(machine->cpuidExecutions - before, 1) << leaf;
    }
    EXPECT_EQ(regs.leafCache, nullptr);
}

TEST_F(CpuidSourceTest, LiveQueriesNeverReadTheCacheAndAskThePinnedProcessor) {
    NewMachine(2);
    FillProcessor(machine->Cpu(0), 10, 0x80000008, 1);
    FillProcessor(machine->Cpu(1), 10, 0x80000008, 7);
    CpuidRegisters regs;
    ASSERT_EQ(SetProcessAffinityMask(GetCurrentProcess(), 1), 1);
    regs.Init(nullptr);
    ASSERT_EQ(SetProcessAffinityMask(GetCurrentProcess(), 2), 1);

    regs.Query(1, 0, true);
    EXPECT_EQ(regs.ecx, 7u);
    regs.Query(1, 0, false);
    EXPECT_EQ(regs.ecx, 1u);
    regs.Query(0x80000002, 0, true);
    EXPECT_EQ(regs.ecx, 7u);
}

TEST_F(CpuidSourceTest, InitCachesEveryLeafOfTheFirstProcessor) {
    FillProcessor(machine->Cpu(0), 11, 0x80000008, 1);
    CpuidRegisters regs;
    regs.Init(nullptr);
    ASSERT_NE(regs.leafCache, nullptr);
    EXPECT_EQ(regs.maxStdLeaf, 11u);
    EXPECT_EQ(regs.maxExtLeaf, 0x80000008u);
    // Leaves 0..11, four leaf 4 and two leaf 11 subleaves, 0x80000000..0x80000008.
    EXPECT_EQ(machine->cpuidExecutions, 12 + 4 + 2 + 9);
    EXPECT_EQ(regs.leafCache->leaf4Subleaves[2].ebx, 2u);
    EXPECT_EQ(regs.leafCache->leaf11Subleaves[1].ebx, 1u);
    EXPECT_EQ(regs.leafCache->extLeaves[8].eax, 0x80000008u);
}

TEST_F(CpuidSourceTest, TablesTooLargeForThirtyTwoBitsAreRefusedNotShortened) {
    CpuidLeafCache cache;
    EXPECT_FALSE(cache.AllocateStandard(0xFFFFFFFFu));
    EXPECT_EQ(cache.stdLeaves, nullptr);
    EXPECT_FALSE(cache.AllocateExtended(0xFFFFFFFFu));
    EXPECT_EQ(cache.extLeaves, nullptr);
    // Below the extended base there is nothing to make, and nothing failed.
    EXPECT_TRUE(cache.AllocateExtended(0x7FFFFFFFu));
    EXPECT_EQ(cache.extLeaves, nullptr);
    ASSERT_TRUE(cache.AllocateStandard(3));
    EXPECT_EQ(cache.stdLeaves[3].eax, 0u);
}

TEST_F(CpuidSourceTest, AProcessorClaimingAbsurdlyManyLeavesGetsNoTable) {
    machine->Cpu(0).Set(0, sim::Registers{0x0C00000A, 0, 0, 0});
    machine->Cpu(0).Set(1, Marked(1, 0, 1));
    machine->Cpu(0).Set(0x80000000, sim::Registers{0xFFFFFFF0u, 0, 0, 0});
    CpuidRegisters regs;
    regs.Init(nullptr);
    ASSERT_NE(regs.leafCache, nullptr);
    EXPECT_EQ(regs.leafCache->stdLeaves, nullptr);
    EXPECT_EQ(regs.leafCache->extLeaves, nullptr);
    // Leaf 0 and 0x80000000 only: nothing walked the claimed ranges.
    EXPECT_EQ(machine->cpuidExecutions, 2);
    regs.Query(1, 0, false);
    EXPECT_EQ(regs.eax | regs.ebx | regs.ecx | regs.edx, 0u);
}

TEST_F(CpuidSourceTest, AnAbsentTableReadsAsZeros) {
    CpuidRegisters regs;
    regs.leafCache = new CpuidLeafCache();
    regs.maxStdLeaf = 0xFFFFFFFFu;  // declared, but its table could not be made
    regs.maxExtLeaf = 0xFFFFFFFFu;
    machine->Cpu(0).Set(5, Marked(5, 0, 1));
    regs.Query(5, 0, false);
    EXPECT_EQ(regs.eax | regs.ebx | regs.ecx | regs.edx, 0u);
    regs.Query(0x80000005, 0, false);
    EXPECT_EQ(regs.eax | regs.ebx | regs.ecx | regs.edx, 0u);
    EXPECT_EQ(machine->cpuidExecutions, 0);
}

}  // namespace
