// The detection pass: the affinity walk, its messages, the process state it
// leaves, and the package / Hyper-Threading summary.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "case_names.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

const char kNotAllProcessors[] = "Skelvane ne peut acc\xE9" "der \xE0 tous les processeurs logiques !";
const char kPinError[] = "SetProcessAffinityMask Error.";
const char kPriorityError[] = "SetPriorityClass Error.";

// Each processor carries its own APIC id in leaf 1, so the decoded table shows
// which processors the walk reached; processor 0 alone reports a standard leaf.
void GiveApicIds(sim::Machine& m) {
    for (size_t i = 0; i < m.processors.size(); ++i) {
        m.processors[i].Set(0, sim::Registers{1, 0, 0, 0});
        m.processors[i].Set(1, sim::Registers{0, static_cast<uint32_t>(0x10 + i) << 24, 0, 0});
    }
}

std::vector<std::string> Texts(const sim::Machine& m) {
    std::vector<std::string> texts;
    for (const sim::MessageBox& box : m.messageBoxes) {
        EXPECT_EQ(box.caption, "Vexmora");
        EXPECT_EQ(box.type, static_cast<UINT>(MB_ICONWARNING));
        texts.push_back(box.text);
    }
    return texts;
}

using Strings = std::vector<std::string>;

// The system's number of each processor walked, in walk order.
std::vector<int> SystemNumbers(const CSystemInfo& info) {
    std::vector<int> numbers;
    for (const ProcessorEntry& p : info.processors) numbers.push_back(p.systemNumber);
    return numbers;
}

class DetectTest : public SimTest {};

TEST_F(DetectTest, WalksEveryProcessorAndRestoresTheProcess) {
    sim::Machine& m = NewMachine(4);
    GiveApicIds(m);
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(info.LogicalCount(), 4);
    EXPECT_EQ(m.affinityCalls, (std::vector<DWORD_PTR>{1, 2, 4, 8, 0x0F}));
    // The clock measurement on processor 0 sleeps 300 ms between the pins.
    EXPECT_EQ(m.sleeps, (std::vector<DWORD>{16, 300, 16, 16, 16}));
    EXPECT_EQ(m.priorityCalls, (std::vector<DWORD>{HIGH_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS}));
    EXPECT_EQ(m.affinity, DWORD_PTR{0x0F});
    EXPECT_EQ(m.priorityClass, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_TRUE(Texts(m).empty());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(info.processors[i].apic.apicId, 0x10 + i) << i;
    // The cache was filled once, on processor 0.
    EXPECT_EQ(info.cpuid.maxStdLeaf, 1u);
}

TEST_F(DetectTest, AFailedPinSkipsThatProcessorOnly) {
    sim::Machine& m = NewMachine(4);
    GiveApicIds(m);
    m.processMask = m.systemMask = 0x0B;  // processor 2 absent
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(info.LogicalCount(), 4);
    EXPECT_EQ(Texts(m), Strings{kPinError});
    EXPECT_EQ(m.sleeps.size(), 3u + 1);  // and the clock measurement's sleep
    EXPECT_EQ(info.processors[1].apic.apicId, 0x11);
    EXPECT_EQ(info.processors[2].apic.apicId, 0);
    EXPECT_EQ(info.processors[3].apic.apicId, 0x13);
}

TEST_F(DetectTest, WhenProcessorZeroCannotBePinnedNoFirstProcessorPassRuns) {
    sim::Machine& m = NewMachine(4);
    GiveApicIds(m);
    m.failingPins = {0};
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(info.cpuid.leafCache, nullptr);
    EXPECT_EQ(info.brand[0], '\0');
    EXPECT_EQ(info.processors[0].apic.apicId, 0);
    EXPECT_EQ(info.processors[1].apic.apicId, 0x11);
    EXPECT_EQ(info.processors[3].apic.apicId, 0x13);
    EXPECT_EQ(Texts(m), Strings{kPinError});
}

TEST_F(DetectTest, BitThirtyOneGivesThirtyTwoProcessorsAndEndsTheWalk) {
    sim::Machine& m = NewMachine(32);
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(info.LogicalCount(), 32);
    ASSERT_EQ(m.affinityCalls.size(), 33u);
    EXPECT_EQ(m.affinityCalls[31], DWORD_PTR{0x80000000u});
    EXPECT_EQ(m.affinityCalls[32], DWORD_PTR{0xFFFFFFFFu});
}

TEST_F(DetectTest, MoreThanThirtyTwoProcessorsShowTheFirstThirtyTwo) {
    sim::Machine& m = NewMachine(40);
    m.processMask = m.systemMask = 0xFFFFFFFFu;  // what a 32-bit mask can show
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(info.LogicalCount(), 32);
    EXPECT_EQ(m.sleeps.size(), 32u + 1);  // and the clock measurement's sleep
}

TEST_F(DetectTest, ACountWithGapsIsTheExtentOfTheMask) {
    sim::Machine& m = NewMachine(8);
    m.processMask = m.systemMask = 0x81;
    CSystemInfo& info = Record();
    EXPECT_EQ(info.Detect(), 1);
    EXPECT_EQ(info.LogicalCount(), 8);
    EXPECT_EQ(Texts(m).size(), 6u);  // processors 1 to 6 cannot be pinned
}

struct MaskFailure {
    const char* name;
    bool queryFails;
    DWORD_PTR processMask;
    DWORD_PTR systemMask;
    const char* message;
};

class DetectMaskTest : public SimTest, public ::testing::WithParamInterface<MaskFailure> {};

TEST_P(DetectMaskTest, StopsBeforeTouchingTheProcess) {
    const MaskFailure& c = GetParam();
    sim::Machine& m = NewMachine(4);
    m.failAffinityQuery = c.queryFails;
    m.processMask = c.processMask;
    m.systemMask = c.systemMask;
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 0);

    EXPECT_EQ(Texts(m), Strings{c.message});
    EXPECT_TRUE(m.affinityCalls.empty());
    EXPECT_TRUE(m.priorityCalls.empty());
    EXPECT_EQ(info.LogicalCount(), 1);
    EXPECT_EQ(info.driverStatus, 0);  // the library step ran first
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DetectMaskTest,
    ::testing::Values(MaskFailure{"QueryFails", true, 0xF, 0xF, "GetProcessAffinityMask Error."},
                      MaskFailure{"ProcessMaskZero", false, 0, 0xF, kNotAllProcessors},
                      MaskFailure{"SystemMaskZero", false, 0xF, 0, kNotAllProcessors}),
    case_names::ByName{});

TEST_F(DetectTest, PriorityAndRestoreFailuresAreReportedAndTheWalkGoesOn) {
    sim::Machine& m = NewMachine(2);
    GiveApicIds(m);
    m.failRaisePriority = true;
    m.failNormalPriority = true;
    m.failingAffinityCalls = {2};  // the restore after pins 1 and 2
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(Texts(m), (Strings{kPriorityError, kPinError, kPriorityError}));
    EXPECT_EQ(info.processors[1].apic.apicId, 0x11);
}

// taskset or a container's cpuset: the warning, then a true report of the
// processors the process may run on, not the defaults.
TEST_F(DetectTest, ANarrowerAffinityIsWarnedOfThenWalked) {
    sim::Machine& m = NewMachine(4);
    GiveApicIds(m);
    m.processMask = 0x6;
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(Texts(m), Strings{kNotAllProcessors});
    EXPECT_EQ(m.affinityCalls, (std::vector<DWORD_PTR>{2, 4, 6}));  // the pins, then the restore
    ASSERT_EQ(info.LogicalCount(), 2);
    EXPECT_EQ(info.processors[0].apic.apicId, 0x11);
    EXPECT_EQ(info.processors[1].apic.apicId, 0x12);
    EXPECT_EQ(SystemNumbers(info), (std::vector<int>{1, 2}));
    EXPECT_EQ(info.cpuid.maxStdLeaf, 1u) << "the first-processor passes ran on the first processor walked";
}

// The Linux program and the replay: processor sets of any size, no pause after a pin.
TEST_F(DetectTest, ProcessorSetsWalkEveryProcessorBeyondThirtyTwo) {
    sim::Machine& m = NewMachine(72);
    m.walk = sim::Machine::Walk::kProcessorSets;
    GiveApicIds(m);
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(info.LogicalCount(), 72);
    EXPECT_EQ(info.processors.size(), 72u);
    EXPECT_EQ(m.processorPins.size(), 72u);
    EXPECT_EQ(info.walkStoppedShort, 0);
    EXPECT_EQ(m.affinityRestores, 1);
    EXPECT_TRUE(Texts(m).empty());
    EXPECT_TRUE(m.notes.empty());
}

TEST_F(DetectTest, ProcessorSetsWithAHoleWalkOnlyTheAllowedOnes) {
    sim::Machine& m = NewMachine(96);
    m.walk = sim::Machine::Walk::kProcessorSets;
    GiveApicIds(m);
    for (int cpu = 0; cpu < 32; ++cpu) m.allowedProcessors.push_back(cpu);
    for (int cpu = 64; cpu < 96; ++cpu) m.allowedProcessors.push_back(cpu);
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(Texts(m), Strings{kNotAllProcessors});
    ASSERT_EQ(info.LogicalCount(), 64);
    EXPECT_EQ(info.processors[32].systemNumber, 64);
    EXPECT_EQ(info.processors[32].apic.apicId, (0x10 + 64) & 0xFF);
}

// A 32-bit Windows process on a larger machine: the walk stops at the masks,
// and standard error says how many it could not reach. XP and Vista lack the
// count and stay silent.
TEST_F(DetectTest, WindowsMasksNoteTheProcessorsBeyondThem) {
    struct Case {
        const char* name;
        bool hasActiveCount;
        DWORD active;
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {"Windows 7 on 72", true, 72, {"Vexmora: le rapport ne couvre que les 32 premiers des 72 processeurs logiques.\n"}},
        {"Windows 7 on 32", true, 32, {}},
        {"XP on 72", false, 72, {}},
    };
    for (const Case& c : cases) {
        sim::Machine& m = NewMachine(72);
        m.processMask = m.systemMask = 0xFFFFFFFFu;
        m.library.kernel32Present = true;
        m.library.kernel32HasGetActiveProcessorCount = c.hasActiveCount;
        m.library.activeProcessorCount = c.active;
        CSystemInfo& info = Record();
        EXPECT_EQ(info.Detect(), 1) << c.name;
        EXPECT_EQ(info.LogicalCount(), 32) << c.name;
        EXPECT_EQ(info.walkStoppedShort, 1) << c.name;
        EXPECT_EQ(m.notes, c.notes) << c.name;
    }
}

TEST_F(DetectTest, TheLibraryMessageComesFirst) {
    sim::Machine& m = NewMachine(4);
    m.library.present = false;
    m.processMask = 0x1;
    CSystemInfo& info = Record();

    EXPECT_EQ(info.Detect(), 1);

    EXPECT_EQ(info.driverStatus, 9);
    EXPECT_EQ(Texts(m), (Strings{"Erreur de chargement de WinRing0 !", kNotAllProcessors}));
}

// The summary step on its own, from the counts and the APIC table.
struct SummaryCase {
    const char* name;
    uint8_t vendor;
    uint8_t htFlag;
    uint16_t threadsPerPackage;
    uint16_t logicalCount;
    uint16_t coresPerPackage;
    std::vector<uint8_t> packageIds;  // per logical processor; missing ones are 0
    uint16_t packageCount;
    uint8_t htState;
    uint8_t inactiveCores;
    uint8_t threadsPerCore = 1;
    bool walkStoppedShort = false;
    uint16_t coresAfter = 0;  // the cores per package the summary leaves; 0: the leaves' count stands
    bool coresFromLeaf1Only = false;
};

// Package numbers of `packages` packages of `perPackage` processors each, in order.
std::vector<uint8_t> PackagesOf(int perPackage, int packages) {
    std::vector<uint8_t> ids;
    for (int p = 0; p < packages; ++p) ids.insert(ids.end(), static_cast<size_t>(perPackage), static_cast<uint8_t>(p));
    return ids;
}

// The same case where the walk stopped at a 32-bit mask and may have missed processors.
SummaryCase StoppedAtTheMask(SummaryCase c) {
    c.walkStoppedShort = true;
    return c;
}

// The same case where the walk's cores replace the leaves' count.
SummaryCase CountsTheWalkedCores(SummaryCase c, uint16_t cores) {
    c.coresAfter = cores;
    return c;
}

// The same case where the cores are leaf 1's count alone (another maker, no leaf 11).
SummaryCase CountedFromLeaf1Only(SummaryCase c) {
    c.coresFromLeaf1Only = true;
    return c;
}

// Gives each walked processor of a package its own APIC id, numbered in turn:
// two threads per core where the package holds more processors than the
// leaves' cores, one otherwise.
void NumberTheWalkedProcessors(CSystemInfo& info, uint16_t coresPerPackage) {
    std::map<uint32_t, uint32_t> seen;  // processors met so far, by package
    std::map<uint32_t, uint32_t> inPackage;
    for (const ProcessorEntry& p : info.processors) ++inPackage[p.apic.packageId];
    for (ProcessorEntry& p : info.processors) {
        const uint32_t threads = inPackage[p.apic.packageId] > coresPerPackage ? 2 : 1;
        const uint32_t n = seen[p.apic.packageId]++;
        p.apic.apicId = (p.apic.packageId << 12) | n;
        p.apic.coreId = n / threads;
        p.apic.threadId = n % threads;
    }
}

// A failing case is named, not dumped byte by byte.
class SummaryTest : public SimTest, public ::testing::WithParamInterface<SummaryCase> {};

TEST_P(SummaryTest, DerivesPackagesHyperThreadingAndInactiveCores) {
    const SummaryCase& c = GetParam();
    CSystemInfo& info = Record();
    info.vendor = c.vendor;
    info.htState = c.htFlag;
    info.threadsPerPackage = c.threadsPerPackage;
    AsIfWalked(info, c.logicalCount);
    info.walkStoppedShort = c.walkStoppedShort ? 1 : 0;
    info.coresPerPackage = c.coresPerPackage;
    info.threadsPerCore = c.threadsPerCore;
    info.coresFromLeaf1Only = c.coresFromLeaf1Only ? 1 : 0;
    for (size_t i = 0; i < c.packageIds.size(); ++i) info.processors[i].apic.packageId = c.packageIds[i];
    NumberTheWalkedProcessors(info, c.coresPerPackage);

    info.SummarizeTopology();

    EXPECT_EQ(info.packageCount, c.packageCount);
    EXPECT_EQ(info.htState, c.htState);
    EXPECT_EQ(info.inactiveCores, c.inactiveCores);
    EXPECT_EQ(info.coresPerPackage, c.coresAfter != 0 ? c.coresAfter : c.coresPerPackage);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedCases, SummaryTest,
    ::testing::Values(
        SummaryCase{"IntelHtOn", 1, 1, 8, 8, 4, {}, 1, 2, 0},
        SummaryCase{"IntelHtOff", 1, 1, 8, 4, 4, {}, 1, 1, 0},
        // Intel's leaves count ids that may be addressed: where a whole walk meets
        // fewer cores, those are the package's, and none is inactive.
        CountsTheWalkedCores(SummaryCase{"IntelHtOnFiveOfSixCores", 1, 1, 12, 10, 6, {}, 1, 2, 0}, 5),
        CountsTheWalkedCores(SummaryCase{"IntelHtOffThreeOfFourCores", 1, 1, 8, 3, 4, {}, 1, 1, 0}, 3),
        CountsTheWalkedCores(SummaryCase{"OtherVendorEightOfNinetySixCores", 0, 1, 96, 8, 96, {}, 1, 0, 0}, 8),
        // Leaf 1's count alone splits the ids by that count: a VIA Nano X2's ids 0 and 2
        // decode as two packages of one core, yet the two are all one package holds.
        CountedFromLeaf1Only(SummaryCase{"OtherVendorOnePackageSplitByItsCount", 0, 1, 2, 2, 2, {0, 1}, 1, 0, 0}),
        CountedFromLeaf1Only(
            CountsTheWalkedCores(SummaryCase{"OtherVendorLeaf1CountWalkedInOnePackage", 0, 1, 4, 2, 4, {}, 1, 0, 0}, 2)),
        // One processor of a package of four cores is a file of one processor's
        // leaves: no HT Off or inactive core from the processors it lacks.
        SummaryCase{"IntelOneProcessorOfFourCores", 1, 1, 8, 1, 4, {}, 1, 2, 0},
        SummaryCase{"AmdOneProcessorOfFourCores", 2, 1, 4, 1, 4, {}, 1, 0, 0},
        // One processor of a single core is that core, its second thread off.
        SummaryCase{"IntelOneProcessorOfOneCore", 1, 1, 2, 1, 1, {}, 1, 1, 0},
        SummaryCase{"IntelTwoPackages", 1, 1, 8, 16, 4, {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}, 2, 2, 0},
        // A processor whose pin failed has an all-zero entry: it counts as package 0.
        SummaryCase{"IntelFailedPinCountsAsPackageZero", 1, 1, 4, 4, 2, {1, 1, 0, 1}, 2, 1, 0},
        SummaryCase{"AmdEight", 2, 0, 4, 8, 4, {}, 2, 0, 0},
        SummaryCase{"AmdSixRoundsUp", 2, 0, 4, 6, 4, {}, 2, 0, 2},
        SummaryCase{"AmdTwoOfFour", 2, 0, 4, 2, 4, {}, 1, 0, 2},
        SummaryCase{"IntelHtFlagButNoMoreThreadsThanCores", 1, 1, 4, 4, 4, {}, 1, 0, 0},
        SummaryCase{"IntelWithoutHtFlag", 1, 0, 8, 8, 4, {}, 2, 0, 0},
        SummaryCase{"IntelWithoutHtFlagTwoThreadsPerCore", 1, 0, 8, 8, 4, {}, 2, 0, 0, 2},
        // Zen with SMT: a package holds cores x threads per core; no HT word.
        SummaryCase{"AmdSmtOnePackage", 2, 1, 16, 16, 8, {}, 1, 0, 0, 2},
        SummaryCase{"AmdSmtTwoPackages", 2, 1, 16, 32, 8, {}, 2, 0, 0, 2},
        SummaryCase{"AmdSmtOneCoreInactive", 2, 1, 16, 14, 8, {}, 1, 0, 1, 2},
        SummaryCase{"OtherVendorTwoThreadsPerCoreOnePackage", 0, 1, 8, 8, 4, {}, 1, 0, 0, 2},
        // 32 processors fill the mask: those beyond it were not walked, not inactive.
        StoppedAtTheMask(SummaryCase{"IntelThirtyTwoOfMoreNotInactive", 1, 1, 36, 32, 18, {}, 1, 2, 0}),
        StoppedAtTheMask(SummaryCase{"IntelThirtyTwoWithoutHtNotInactive", 1, 1, 72, 32, 36, {}, 1, 1, 0}),
        StoppedAtTheMask(SummaryCase{"AmdThirtyTwoOfMoreNotInactive", 2, 1, 48, 32, 48, {}, 1, 0, 0}),
        StoppedAtTheMask(SummaryCase{"AmdSmtThirtyTwoOfMoreNotInactive", 2, 1, 48, 32, 24, {}, 1, 0, 0, 2}),
        SummaryCase{"AmdThirtyOneShowsItsInactiveCore", 2, 1, 32, 31, 32, {}, 1, 0, 1},
        // Walked whole, beyond 32: the w9-3475X (36 cores, 72 threads) and two E5-2699 v3.
        SummaryCase{"IntelSeventyTwoOnOneSocket", 1, 1, 72, 72, 36, {}, 1, 2, 0},
        SummaryCase{"IntelSeventyTwoOnTwoSockets", 1, 1, 36, 72, 18, PackagesOf(36, 2), 2, 2, 0},
        // Two EPYC 9654: 384 processors, 96 cores of 2 threads per package.
        SummaryCase{"AmdSmtThreeHundredEightyFour", 2, 1, 192, 384, 96, {}, 2, 0, 0, 2},
        // The same walk with a core's two threads missing is one inactive core, not a mask edge.
        SummaryCase{"AmdSmtThreeHundredEightyTwoHasAnInactiveCore", 2, 1, 192, 382, 96, {}, 2, 0, 1, 2}),
    case_names::ByName{});

TEST_F(DetectTest, TeardownRunsOnceAndOnlyForALoadedLibrary) {
    {
        CSystemInfo& info = Record();
        info.Detect();
        EXPECT_NE(info.driverModule, nullptr);
    }
    record.reset();
    EXPECT_EQ(machine->library.deinitializeCalls, 1);
    EXPECT_EQ(machine->library.freeCalls, 1);

    sim::Machine& m = NewMachine(1);
    m.library.present = false;
    Record().Detect();
    record.reset();
    EXPECT_EQ(m.library.deinitializeCalls, 0);
    EXPECT_EQ(m.library.freeCalls, 0);
}

}  // namespace
