// Recorded processors on the simulated machine's own settings: walks through
// the Windows program's 32-bit masks, processes kept off some processors and
// pins that fail. What each dump prints when replayed whole is in its golden
// file (tests/expected), with the derivation in its header.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "case_names.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ProcessorTest : public SimTest {
protected:
    // Each line, in this order, among the report's.
    void ExpectLinesInOrder(const std::vector<std::string>& expected) {
        ASSERT_EQ(RunWholeProgram(), 0);
        const std::vector<std::string> lines = Lines(machine->output);
        auto at = lines.begin();
        for (const std::string& line : expected) {
            at = std::find(at, lines.end(), line);
            ASSERT_NE(at, lines.end()) << "missing or out of order: " << line << "\n" << machine->output;
        }
    }
};

// --- The Windows program's 32-bit masks on machines beyond 32 processors ---

// More than 32 logical processors (Threadripper 3960X: 24 cores, 48 threads): the
// Windows program's 32-bit mask shows the first 32 dump blocks. Zen SMT counts: 0x80000008 ECX 0x702F,
// 48 threads, 2 per core: 24 cores, 24 L2s, core width 7. Three cores per CCX leave
// gaps in the ids (0-5, 8-13, ...): APIC id 8 is core 4. 32 logical / (24 x 2) rounds
// up to 1 package, and the 16 processors beyond the mask are not inactive cores.
TEST_F(ProcessorTest, ZenBeyondThirtyTwoProcessorsShowsNoInactiveCores) {
    MachineFromDump("AuthenticAMD0830F10_K17_CastlePeak_CPUID2.txt");
    ExpectLinesInOrder({"CPU : AMD Ryzen Threadripper 3960X 24-Core Processor",
                        "Nombre de processeurs physiques : 1",
                        "Nombre max de cores par CPU : 24",
                        "Nombre max de thread par CPU : 48",
                        "Nombre max de thread par core : 2",
                        "Nombre total de processeurs logiques : 32",
                        " . CPU1 : Apic=1 Phy=0 Core=0 Log=1",
                        " . CPU6 : Apic=8 Phy=0 Core=4 Log=0",
                        " . CPU31 : Apic=41 Phy=0 Core=20 Log=1",
                        "Cache L2 : 24 x 512 Ko",
                        "Cache L3 : 131072 Ko",
                        "1 Processeur Multicore 64 bits"});
}

// Two Xeon E5-2699 v3 (18 cores, 36 threads each; 72 logical processors): the
// Windows program's mask shows the first 32 blocks, APIC ids 0-9, 16-23, 32-41 and 48-51, all of package 0
// (leaf 11: thread shift 1, package shift 6). Leaf 11 gives 36 per package, 2 per core:
// 18 cores. 32 logical > 18 cores: HT On. The walk ran to bit 31, so the processors it
// could not reach are not taken for 2 inactive cores. (The second package is beyond
// the mask: one package is all the report can see.)
TEST_F(ProcessorTest, IntelBeyondThirtyTwoProcessorsShowsNoInactiveCores) {
    MachineFromDump("GenuineIntel00306F2_HaswellEP_CPUID.txt");
    ExpectLinesInOrder({"CPU : Intel(R) Xeon(R) CPU E5-2699 v3 @ 2.30GHz",
                        "Nombre max de cores par CPU : 18",
                        "Nombre max de thread par CPU : 36",
                        "Nombre max de thread par core : 2",
                        "Nombre total de processeurs logiques : 32",
                        " . CPU10 : Apic=16 Phy=0 Core=8 Log=0",
                        " . CPU31 : Apic=51 Phy=0 Core=25 Log=1",
                        "Cache L2 : 18 x 256 Ko",
                        "Cache L3 : 46080 Ko",
                        "1 Processeur Multicore HT On 64 bits"});
}

// A process kept off all but one processor still knows an L3 that every thread
// of the package shares: the 7940H's one 16384 KB L3 (0x8000001D level 3, EAX
// 0x0003C163: 16 sharing), here with a 0x80000006 that claims ten times as much,
// as a virtual machine's may. Its L2s, one per core, are the counts' as before.
TEST_F(ProcessorTest, APartialWalkKnowsTheL3TheWholePackageShares) {
    sim::Machine& m = MachineFromDump("AuthenticAMD0A70F41_K19_Phoenix_03_CPUID.txt");
    m.walk = sim::Machine::Walk::kProcessorSets;
    m.allowedProcessors = {5};
    for (sim::Processor& p : m.processors) p.cpuid[{0x80000006, 0}].edx = (16384 * 10 / 512) << 18;
    ExpectLinesInOrder({"Nombre total de processeurs logiques : 1", "Cache L2 : 8 x 1024 Ko", "Cache L3 : 16384 Ko"});
}

// --- Walks that hold part of a package ---

// Faults that leave the walk short of part of the first package.
void PinsOfOneCoreFail(sim::Machine& m) {
    // Blocks 6 and 7: APIC ids 52 and 53, the two threads of one core of package 1.
    m.failingPins.insert({6, 7});
}
void ProcessKeptOffTheLastProcessors(sim::Machine& m) {
    for (int cpu = 0; cpu + 4 < static_cast<int>(m.processors.size()); ++cpu) m.allowedProcessors.push_back(cpu);
}
void WalkedThroughWindowsMasks(sim::Machine& m) {
    m.walk = sim::Machine::Walk::kWindowsMasks;
}

struct PartialWalk {
    const char* name;
    const char* file;
    void (*inject)(sim::Machine&);
    const char* line;  // the first processor's counts give it, as they always have
};

class PartialWalkTest : public ProcessorTest, public ::testing::WithParamInterface<PartialWalk> {};

TEST_P(PartialWalkTest, KeepsTheFirstProcessorsCounts) {
    const PartialWalk& c = GetParam();
    sim::Machine& m = MachineFromDump(c.file);
    m.walk = sim::Machine::Walk::kProcessorSets;
    c.inject(m);
    ExpectLinesInOrder({c.line});
}

// 12700H: 20 threads / 8 sharing the first processor's L2 = 2 of 1280 KB.
// Two Xeon X5667: the first block is on package 1 (APIC id 0x20); a processor whose
// pin failed has an all-zero entry, package 0, and must not shrink package 1 to
// 3 L2s: leaf 11 gives 4 cores, and 4 x 256 KB stays.
// 7950X3D: 0x80000006 EDX 0x06009140 = 384 x 512 KB. Its 32 processors fill a
// 32-bit mask to bit 31, so the Windows walk cannot know there are no more.
INSTANTIATE_TEST_SUITE_P(
    Faults, PartialWalkTest,
    ::testing::Values(
        PartialWalk{"PinsOfOneCoreFail", "GenuineIntel00206C1_Gulftown_CPUID.txt", PinsOfOneCoreFail,
                    "Cache L2 : 4 x 256 Ko"},
        PartialWalk{"ProcessKeptOffSomeProcessors", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                    ProcessKeptOffTheLastProcessors, "Cache L2 : 2 x 1280 Ko"},
        PartialWalk{"MaskFullToBit31", "AuthenticAMD0A60F12_K19_Raphael_09_CPUID.txt", WalkedThroughWindowsMasks,
                    "Cache L3 : 196608 Ko"}),
    case_names::ByName{});

// --- The cores of each kind on hybrid parts ---

// The line that follows "Nombre max de thread par core", or "" where it is the last.
std::string LineAfterThreadsPerCore(const std::string& report) {
    const std::vector<std::string> lines = Lines(report);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].rfind("Nombre max de thread par core : ", 0) == 0) return lines[i + 1];
    }
    return "";
}

constexpr char kNoHybridLine[] = "Nombre total de processeurs logiques";

struct HybridFacts {
    const char* name;
    const char* file;
    const char* line;  // the hybrid line, or kNoHybridLine where the next line is the usual one
};

class HybridLineTest : public ProcessorTest, public ::testing::WithParamInterface<HybridFacts> {};

// Through the Windows program's masks, as its golden shows each part walked whole.
TEST_P(HybridLineTest, FollowsTheThreadsPerCoreLine) {
    const HybridFacts& f = GetParam();
    MachineFromDump(f.file).walk = sim::Machine::Walk::kWindowsMasks;
    ASSERT_EQ(RunWholeProgram(), 0);
    EXPECT_EQ(LineAfterThreadsPerCore(machine->output).rfind(f.line, 0), 0u) << machine->output;
    EXPECT_EQ(machine->output.find("Cores hybrides") == std::string::npos, f.line == kNoHybridLine);
}

INSTANTIATE_TEST_SUITE_P(
    Dumps, HybridLineTest,
    ::testing::Values(HybridFacts{"i7_12700H", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                                  "Cores hybrides : 6 P (12 threads) + 8 E (8 threads)"},
                      HybridFacts{"CoreUltra9_288V", "GenuineIntel00B06D1_LunarLake_04_CPUID.txt",
                                  "Cores hybrides : 4 P (4 threads) + 4 E (4 threads)"},
                      HybridFacts{"RyzenAI9_HX370", "AuthenticAMD0B20F40_K20_StrixPoint_06_CPUID.txt",
                                  "Cores hybrides : 4 P (8 threads) + 8 E (16 threads)"},
                      HybridFacts{"i5_12400_PCoresOnly", "GenuineIntel0090672_AlderLake_02_CPUID.txt", kNoHybridLine}),
    case_names::ByName{});

// Faults after which the walk cannot vouch for the first package's kinds.
void PinOfAnECoreFails(sim::Machine& m) {
    m.failingPins.insert(15);
}

struct HybridFault {
    const char* name;
    const char* file;
    void (*inject)(sim::Machine&);
};

class HybridFaultTest : public ProcessorTest, public ::testing::WithParamInterface<HybridFault> {};

TEST_P(HybridFaultTest, LeavesTheHybridLineOut) {
    const HybridFault& c = GetParam();
    sim::Machine& m = MachineFromDump(c.file);
    m.walk = sim::Machine::Walk::kProcessorSets;
    c.inject(m);
    ASSERT_EQ(RunWholeProgram(), 0);
    EXPECT_EQ(machine->output.find("Cores hybrides"), std::string::npos) << machine->output;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HybridFaultTest,
    ::testing::Values(HybridFault{"PinOfAnECoreFails", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt", PinOfAnECoreFails},
                      HybridFault{"ProcessKeptOffSomeProcessors", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                                  ProcessKeptOffTheLastProcessors}),
    case_names::ByName{});

}  // namespace
