// Whole recorded processors run through the program: the report block that
// identification, caches, features and topology produce. Each expectation is
// worked out by hand from the recorded leaves; the comment above it says how.
// The clock and temperature lines are not checked here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <utility>
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

struct ExpectedReport {
    std::string name;       // after "CPU : "
    std::string signature;  // the "CPU Family" line
    // From "Nombre de processeurs physiques" to the summary line, in order.
    std::vector<std::string> topology;
};

class ProcessorTest : public SimTest {
protected:
    void ExpectReport(const ExpectedReport& expected) {
        ASSERT_EQ(RunWholeProgram(), 0);
        const std::vector<std::string> lines = Lines(machine->output);
        size_t cpu = 0;
        while (cpu < lines.size() && lines[cpu].rfind("CPU : ", 0) != 0) ++cpu;
        ASSERT_LT(cpu + 1, lines.size()) << machine->output;
        EXPECT_EQ(lines[cpu], "CPU : " + expected.name);
        EXPECT_EQ(lines[cpu + 1], expected.signature);

        size_t first = cpu;
        while (first < lines.size() && lines[first].rfind("Nombre de processeurs physiques", 0) != 0) ++first;
        ASSERT_LE(first + expected.topology.size(), lines.size()) << machine->output;
        const std::vector<std::string> block(lines.begin() + static_cast<long>(first),
                                             lines.begin() + static_cast<long>(first + expected.topology.size()));
        EXPECT_EQ(block, expected.topology);
    }

    // For machines too large to list whole: each line, in this order, among the report's.
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

// Leaf 11 with Hyper-Threading on; the blocks list APIC ids 0, 2, 4, 6, 1, 3, 5, 7.
// Name: the brand string's runs of spaces squeezed. Signature 0x106A4: family 6,
// model 1 x 16 + 0xA, stepping 4. Leaf 4: L1 shared by 2 (S1), L2 by 2 (S2), K 8;
// leaf 11: 2 per core, 8 per package, so 4 cores and 8 / 2 = 4 L2s. Decoding:
// thread shift 1, package shift 4. Leaf 2 EDX 0x09CA212C: 0x21 is a 256 KB L2;
// EBX 0x00F0B2E4: 0xE4 an 8 MB L3. HTT set and 8 threads > 4 cores: the package
// count from the APIC table (1), 8 logical > 4 cores: HT On. 0x80000001 EDX bit 29: 64 bits.
TEST_F(ProcessorTest, BloomfieldWithHyperThreading) {
    MachineFromDump("GenuineIntel00106A4_Bloomfield_CPUID.txt");
    ExpectReport({"Genuine Intel(R) CPU 000 @ 3.20GHz",
                  "CPU Family 06 Model 1A Stepping 4",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 4",
                   "Nombre max de thread par CPU : 8",
                   "Nombre max de thread par core : 2",
                   "Nombre total de processeurs logiques : 8",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=2 Phy=0 Core=1 Log=0",
                   " . CPU2 : Apic=4 Phy=0 Core=2 Log=0",
                   " . CPU3 : Apic=6 Phy=0 Core=3 Log=0",
                   " . CPU4 : Apic=1 Phy=0 Core=0 Log=1",
                   " . CPU5 : Apic=3 Phy=0 Core=1 Log=1",
                   " . CPU6 : Apic=5 Phy=0 Core=2 Log=1",
                   " . CPU7 : Apic=7 Phy=0 Core=3 Log=1",
                   "Cache L2 : 4 x 256 Ko",
                   "Cache L3 : 8192 Ko",
                   "1 Processeur Quadcore HT On 64 bits"}});
}

// The same processor with Hyper-Threading disabled, as the hardware then reports
// it: only the first thread of each core (APIC ids 0, 2, 4, 6) is present; leaf 11
// counts what is enabled (1 per core, 4 per package) while its shifts, leaf 1's
// count of 16 and HTT flag, and leaf 4's sharing fields keep their maximums.
// Counts: 4 threads, 1 per core, 4 cores; S1 = 2 differs from 1 per core, so the
// L2 count is the thread count, 4. 4 threads do not exceed 4 cores: no HT word.
TEST_F(ProcessorTest, BloomfieldWithHyperThreadingOff) {
    sim::Machine& m = MachineFromDump("GenuineIntel00106A4_Bloomfield_CPUID.txt");
    m.SetProcessorCount(4);
    for (sim::Processor& p : m.processors) {
        p.cpuid[{11, 0}].ebx = 1;
        p.cpuid[{11, 1}].ebx = 4;
    }
    ExpectReport({"Genuine Intel(R) CPU 000 @ 3.20GHz",
                  "CPU Family 06 Model 1A Stepping 4",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 4",
                   "Nombre max de thread par CPU : 4",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 4",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=2 Phy=0 Core=1 Log=0",
                   " . CPU2 : Apic=4 Phy=0 Core=2 Log=0",
                   " . CPU3 : Apic=6 Phy=0 Core=3 Log=0",
                   "Cache L2 : 4 x 256 Ko",
                   "Cache L3 : 8192 Ko",
                   "1 Processeur Quadcore 64 bits"}});
}

// Leaf 4 without leaf 11 (highest standard leaf 10). Leaf 1: 2 logical, HTT set.
// Leaf 4: L1 with cores field 1 (K 2) and sharing 0 (S1 1), L2 sharing 1 (S2 2):
// 2 / 2 = 1 thread per core, 2 cores, 2 / 2 = 1 L2. Decoding from the counts:
// thread shift 0, core width 1. Leaf 2 EDX 0x2CB43049: 0x49 on family 6 is a 4 MB L2.
// 2 threads do not exceed 2 cores: one package, no HT word.
TEST_F(ProcessorTest, ConroeLeaf4WithoutLeaf11) {
    MachineFromDump("GenuineIntel00006F6_Conroe_CPUID.txt");
    ExpectReport({"Intel(R) Core(TM)2 CPU X6800 @ 2.93GHz",
                  "CPU Family 06 Model 0F Stepping 6",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 2",
                   "Nombre max de thread par CPU : 2",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 2",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=1 Log=0",
                   "Cache L2 : 1 x 4096 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Dualcore 64 bits"}});
}

// Leaf 2 only (highest standard leaf 2), Hyper-Threading. Signature 0xF29: family
// 15, model 2, stepping 9; the brand string starts with 14 spaces. Below leaf 4:
// 1 core, 2 threads per core (leaf 1 counts 2), 1 L2. Decoding from the counts:
// thread shift 1, core width 0. Leaf 2 EDX 0x007B7040: 0x7B is a 512 KB L2.
// HTT and 2 threads > 1 core: one package, 2 logical > 1 core: HT On.
// 0x80000001 EDX is 0: 32 bits.
TEST_F(ProcessorTest, Pentium4NorthwoodLeaf2Only) {
    MachineFromDump("GenuineIntel0000F29_P4_Northwood_CPUID.txt");
    ExpectReport({"Intel(R) Pentium(R) 4 CPU 2.80GHz",
                  "CPU Family 0F Model 02 Stepping 9",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 1",
                   "Nombre max de thread par CPU : 2",
                   "Nombre max de thread par core : 2",
                   "Nombre total de processeurs logiques : 2",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=0 Log=1",
                   "Cache L2 : 1 x 512 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Monocore HT On 32 bits"}});
}

// Leaf 2 only, two packages, no extended leaves: named by brand index 2. Leaf 1
// EBX 0x00000002 counts 0 logical (taken as 1) and has no APIC id (0 on both);
// no HTT. Leaf 2 EDX 0x0C040882: 0x82 is a 256 KB L2. Branch without HT:
// 2 logical / 1 core = 2 packages. No long mode: 32 bits.
TEST_F(ProcessorTest, Pentium3CoppermineTwoPackages) {
    MachineFromDump("GenuineIntel0000683_P3_Coppermine_CPUID.txt");
    ExpectReport({"Intel(R) Pentium(R) III processor",
                  "CPU Family 06 Model 08 Stepping 3",
                  {"Nombre de processeurs physiques : 2",
                   "Nombre max de cores par CPU : 1",
                   "Nombre max de thread par CPU : 1",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 2",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=0 Phy=0 Core=0 Log=0",
                   "Cache L2 : 1 x 256 Ko",
                   "Cache L3 : 0 Ko",
                   "2 Processeurs Monocore 32 bits"}});
}

// AMD family 0x10 quad-core. Signature 0x100F42: base family 15 + extended 1 = 0x10,
// model 4, stepping 2. 0x80000008 ECX 0x2003: 4 cores, 4 L2s, core width 2; APIC ids
// 0..3 from leaf 1. 0x80000006 ECX 0x02008140: 0x0200 = 512 KB L2; EDX 0x0030B140:
// bits 31..18 = 12, 12 x 512 = 6144 KB L3. AMD: 4 logical / 4 cores = 1 package.
TEST_F(ProcessorTest, AmdDenebQuadCore) {
    MachineFromDump("AuthenticAMD0100F42_K10_Deneb_CPUID.txt");
    ExpectReport({"AMD Phenom(tm) II X4 940 Processor",
                  "CPU Family 10 Model 04 Stepping 2",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 4",
                   "Nombre max de thread par CPU : 4",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 4",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=1 Log=0",
                   " . CPU2 : Apic=2 Phy=0 Core=2 Log=0",
                   " . CPU3 : Apic=3 Phy=0 Core=3 Log=0",
                   "Cache L2 : 4 x 512 Ko",
                   "Cache L3 : 6144 Ko",
                   "1 Processeur Quadcore 64 bits"}});
}

// AMD family 0x15 eight-core. Signature 0x600F12: 15 + 6 = 0x15, model 1, stepping 2;
// the brand string's trailing spaces dropped. 0x80000008 ECX 0x4007: 8 cores, core
// width 4; family 0x15 pairs cores on an L2: 4 L2s. 0x80000006 ECX 0x08008140: 2048 KB
// L2; EDX 0x0040C140: 16 x 512 = 8192 KB L3. 8 logical / 8 cores = 1 package.
TEST_F(ProcessorTest, AmdZambeziEightCore) {
    MachineFromDump("AuthenticAMD0600F12_K15_Zambezi8C_CPUID.txt");
    ExpectReport({"AMD FX(tm)-8150 Eight-Core Processor",
                  "CPU Family 15 Model 01 Stepping 2",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 8",
                   "Nombre max de thread par CPU : 8",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 8",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=1 Log=0",
                   " . CPU2 : Apic=2 Phy=0 Core=2 Log=0",
                   " . CPU3 : Apic=3 Phy=0 Core=3 Log=0",
                   " . CPU4 : Apic=4 Phy=0 Core=4 Log=0",
                   " . CPU5 : Apic=5 Phy=0 Core=5 Log=0",
                   " . CPU6 : Apic=6 Phy=0 Core=6 Log=0",
                   " . CPU7 : Apic=7 Phy=0 Core=7 Log=0",
                   "Cache L2 : 4 x 2048 Ko",
                   "Cache L3 : 8192 Ko",
                   "1 Processeur Octocore 64 bits"}});
}

// Another vendor (CentaurHauls): vendor 0. The brand string fills all 48 bytes
// (22 leading spaces, a trailing space in byte 47, which is never kept).
// Counts from leaf 1 only: 1 logical, so 1 core and 1 L2; APIC id 0. 0x80000006
// ECX 0x04008140: 1024 KB L2, no L3 for this vendor. 0x80000001 EDX bit 29: 64 bits.
TEST_F(ProcessorTest, ViaNanoOtherVendor) {
    MachineFromDump("CentaurHauls00006F2_CNA_Isaiah_CPUID.txt");
    ExpectReport({"VIA CNA processor 1800MHz",
                  "CPU Family 06 Model 0F Stepping 2",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 1",
                   "Nombre max de thread par CPU : 1",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 1",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   "Cache L2 : 1 x 1024 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Monocore 64 bits"}});
}

// A recent Intel processor: leaf 2 is EAX 0x00FEFF01, EBX 0xF0, so the 0xFF that
// sends the sizes to leaf 4 sits in EAX. Leaf 4: L2 10 ways x 64 x 2048 sets =
// 1280 KB, L3 9 ways x 64 x 32768 sets = 18432 KB. Signature 0x90672: model
// 9 x 16 + 7 = 0x97. Leaf 11: 2 per core, 12 per package: 6 cores, and S1 = 2 =
// threads per core, so 12 / S2 2 = 6 L2s. Decoding: thread shift 1, package shift 5.
// 12 logical > 6 cores: HT On.
TEST_F(ProcessorTest, AlderLakeTakesItsCachesFromLeaf4) {
    MachineFromDump("GenuineIntel0090672_AlderLake_02_CPUID.txt");
    ExpectReport({"12th Gen Intel(R) Core(TM) i5-12400",
                  "CPU Family 06 Model 97 Stepping 2",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 6",
                   "Nombre max de thread par CPU : 12",
                   "Nombre max de thread par core : 2",
                   "Nombre total de processeurs logiques : 12",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=0 Log=1",
                   " . CPU2 : Apic=2 Phy=0 Core=1 Log=0",
                   " . CPU3 : Apic=3 Phy=0 Core=1 Log=1",
                   " . CPU4 : Apic=4 Phy=0 Core=2 Log=0",
                   " . CPU5 : Apic=5 Phy=0 Core=2 Log=1",
                   " . CPU6 : Apic=6 Phy=0 Core=3 Log=0",
                   " . CPU7 : Apic=7 Phy=0 Core=3 Log=1",
                   " . CPU8 : Apic=8 Phy=0 Core=4 Log=0",
                   " . CPU9 : Apic=9 Phy=0 Core=4 Log=1",
                   " . CPU10 : Apic=10 Phy=0 Core=5 Log=0",
                   " . CPU11 : Apic=11 Phy=0 Core=5 Log=1",
                   "Cache L2 : 6 x 1280 Ko",
                   "Cache L3 : 18432 Ko",
                   "1 Processeur Hexacore HT On 64 bits"}});
}

// Zen with SMT (Ryzen 7 1700X: 8 cores, 2 threads each). 0x80000008 ECX 0x400F:
// 16 logical processors, core width 4; 0x8000001E EBX[15:8] = 1: 2 threads per
// core, so 16 / 2 = 8 cores, each with its own L2. Leaf 1 counts 16. Decoding: thread
// bit 0, core bits 3..1, package from bit 4; the blocks list APIC ids 0 to 15.
// 0x80000006 ECX 0x02006140: 512 KB L2; EDX 0x00808140: 32 x 512 = 16384 KB L3.
// 16 logical / (8 cores x 2) = 1 package; AMD prints no HT word.
TEST_F(ProcessorTest, ZenWithSmtCountsCoresNotThreads) {
    MachineFromDump("AuthenticAMD0800F11_K17_Zen2_CPUID.txt");
    ExpectReport({"AMD Ryzen 7 1700X Eight-Core Processor",
                  "CPU Family 17 Model 01 Stepping 1",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 8",
                   "Nombre max de thread par CPU : 16",
                   "Nombre max de thread par core : 2",
                   "Nombre total de processeurs logiques : 16",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=0 Log=1",
                   " . CPU2 : Apic=2 Phy=0 Core=1 Log=0",
                   " . CPU3 : Apic=3 Phy=0 Core=1 Log=1",
                   " . CPU4 : Apic=4 Phy=0 Core=2 Log=0",
                   " . CPU5 : Apic=5 Phy=0 Core=2 Log=1",
                   " . CPU6 : Apic=6 Phy=0 Core=3 Log=0",
                   " . CPU7 : Apic=7 Phy=0 Core=3 Log=1",
                   " . CPU8 : Apic=8 Phy=0 Core=4 Log=0",
                   " . CPU9 : Apic=9 Phy=0 Core=4 Log=1",
                   " . CPU10 : Apic=10 Phy=0 Core=5 Log=0",
                   " . CPU11 : Apic=11 Phy=0 Core=5 Log=1",
                   " . CPU12 : Apic=12 Phy=0 Core=6 Log=0",
                   " . CPU13 : Apic=13 Phy=0 Core=6 Log=1",
                   " . CPU14 : Apic=14 Phy=0 Core=7 Log=0",
                   " . CPU15 : Apic=15 Phy=0 Core=7 Log=1",
                   "Cache L2 : 8 x 512 Ko",
                   "Cache L3 : 16384 Ko",
                   "1 Processeur Octocore 64 bits"}});
}

// Zen 4 with SMT switched off (Threadripper PRO 7975WX, 32 cores): 0x8000001E EBX is 0,
// one thread per core, so the counts stay those of 0x80000008 ECX 0x601F: 32 cores,
// 32 L2s, core width 6. The blocks list APIC ids 0-7, 16-23, 32-39, 48-55, one
// per core. 0x80000006 ECX 0x04006140: 1024 KB L2; EDX 0x04009140: 256 x 512 KB L3.
TEST_F(ProcessorTest, ZenWithSmtOffKeepsOneThreadPerCore) {
    MachineFromDump("AuthenticAMD0A10F81_K19_StormPeak_02_CPUID.txt");
    ExpectLinesInOrder({"CPU : AMD Ryzen Threadripper PRO 7975WX 32-Cores",
                        "Nombre de processeurs physiques : 1",
                        "Nombre max de cores par CPU : 32",
                        "Nombre max de thread par CPU : 32",
                        "Nombre max de thread par core : 1",
                        "Nombre total de processeurs logiques : 32",
                        " . CPU7 : Apic=7 Phy=0 Core=7 Log=0",
                        " . CPU8 : Apic=16 Phy=0 Core=16 Log=0",
                        " . CPU31 : Apic=55 Phy=0 Core=55 Log=0",
                        "Cache L2 : 32 x 1024 Ko",
                        "Cache L3 : 131072 Ko",
                        "1 Processeur Multicore 64 bits"});
}

// A hybrid part with Hyper-Threading (Core i7-12700H: 6 P-cores of two threads,
// 8 E-cores of one). Leaf 7 EDX bit 15 set; leaf 11 says 2 per core and 20 per
// package, which no longer divide into cores: the cores are the distinct core
// numbers decoded (thread shift 1, package shift 7): 0, 4, 8, 12, 16, 20 for the
// P-cores (APIC ids 0/1, 8/9, ... 40/41) and 24 to 31 for the E-cores (48, 50, ... 62),
// 14 in all. 20 logical > 14 cores: HT On, no inactive core. L2s from each
// processor's own leaf 4: every L2 entry (EAX 0xFC01C143) is shared by 8 ids, so an
// L2's id is the APIC id with its low 3 bits cleared. The P-cores (0/1, 8/9, ... 40/41)
// have six, of 10 ways x 64 x 2048 sets = 1280 KB (EBX 0x0240003F); the E-cores 48-54
// and 56-62 two, of 16 ways x 64 x 2048 sets = 2048 KB (EBX 0x03C0003F), as the
// README's 6 x 1280 + 2 x 2048 says. The P-cores come first in the walk.
TEST_F(ProcessorTest, HybridWithHyperThreadingCountsTheDecodedCores) {
    MachineFromDump("GenuineIntel00906A2_AlderLakeP_00_CPUID.txt");
    ExpectLinesInOrder({"CPU : 12th Gen Intel(R) Core(TM) i7-12700H",
                        "Nombre de processeurs physiques : 1",
                        "Nombre max de cores par CPU : 14",
                        "Nombre max de thread par CPU : 20",
                        "Nombre max de thread par core : 2",
                        "Cores hybrides : 6 P (12 threads) + 8 E (8 threads)",
                        "Nombre total de processeurs logiques : 20",
                        " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                        " . CPU1 : Apic=1 Phy=0 Core=0 Log=1",
                        " . CPU2 : Apic=8 Phy=0 Core=4 Log=0",
                        " . CPU3 : Apic=9 Phy=0 Core=4 Log=1",
                        " . CPU4 : Apic=16 Phy=0 Core=8 Log=0",
                        " . CPU5 : Apic=17 Phy=0 Core=8 Log=1",
                        " . CPU6 : Apic=24 Phy=0 Core=12 Log=0",
                        " . CPU7 : Apic=25 Phy=0 Core=12 Log=1",
                        " . CPU8 : Apic=32 Phy=0 Core=16 Log=0",
                        " . CPU9 : Apic=33 Phy=0 Core=16 Log=1",
                        " . CPU10 : Apic=40 Phy=0 Core=20 Log=0",
                        " . CPU11 : Apic=41 Phy=0 Core=20 Log=1",
                        " . CPU12 : Apic=48 Phy=0 Core=24 Log=0",
                        " . CPU13 : Apic=50 Phy=0 Core=25 Log=0",
                        " . CPU14 : Apic=52 Phy=0 Core=26 Log=0",
                        " . CPU15 : Apic=54 Phy=0 Core=27 Log=0",
                        " . CPU16 : Apic=56 Phy=0 Core=28 Log=0",
                        " . CPU17 : Apic=58 Phy=0 Core=29 Log=0",
                        " . CPU18 : Apic=60 Phy=0 Core=30 Log=0",
                        " . CPU19 : Apic=62 Phy=0 Core=31 Log=0",
                        "Cache L2 : 6 x 1280 Ko + 2 x 2048 Ko",
                        "Cache L3 : 24576 Ko",
                        "1 Processeur Multicore HT On 64 bits"});
}

// A hybrid part without Hyper-Threading (Core Ultra 9 288V: 4 P + 4 E cores): leaf 11
// gives one thread per core and 8 per package, so 8 cores as before. HTT is set but
// 8 threads do not exceed 8 cores: no HT word. Each processor's leaf 4 L2 is shared
// by 8 ids: the P-cores (APIC ids 0, 8, 16, 24) have one each, of 10 ways x 64 x 4096
// sets = 2560 KB; the E-cores (64, 66, 68, 70) one between them, of 16 ways x 64 x 4096
// sets = 4096 KB: the README's 4 x 2560 + 1 x 4096.
TEST_F(ProcessorTest, HybridWithoutHyperThreadingKeepsLeaf11Counts) {
    MachineFromDump("GenuineIntel00B06D1_LunarLake_04_CPUID.txt");
    ExpectLinesInOrder({"CPU : Intel(R) Core(TM) Ultra 9 288V",
                        "Nombre de processeurs physiques : 1",
                        "Nombre max de cores par CPU : 8",
                        "Nombre max de thread par CPU : 8",
                        "Nombre max de thread par core : 1",
                        "Cores hybrides : 4 P (4 threads) + 4 E (4 threads)",
                        "Nombre total de processeurs logiques : 8",
                        " . CPU4 : Apic=64 Phy=0 Core=32 Log=0",
                        "Cache L2 : 4 x 2560 Ko + 1 x 4096 Ko",
                        "1 Processeur Octocore 64 bits"});
}

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

// --- Machines beyond 32 processors, walked whole as the Linux program and the replay do ---

// What the dumps' README says each machine is.
struct ServerFacts {
    const char* name;
    const char* file;
    int packages;
    int coresPerPackage;
    int threadsPerCore;
    int logical;
    const char* summary;
    // Leaf 0xB or 0x8000001E's widths: the package is the APIC id shifted right by this.
    unsigned packageShift;
    // One package's caches: the README's L2 instances, and its L3 (on Intel the
    // first processor's own L3, which is the package's).
    const char* l2Line;
    const char* l3Line;
};

struct ApicLine {
    unsigned apicId, packageId, coreId, threadId;
};

std::vector<ApicLine> ApicLines(const std::vector<std::string>& lines) {
    std::vector<ApicLine> out;
    for (const std::string& line : lines) {
        int index = 0;
        ApicLine e{};
        if (std::sscanf(line.c_str(), " . CPU%d : Apic=%u Phy=%u Core=%u Log=%u", &index, &e.apicId, &e.packageId,
                        &e.coreId, &e.threadId) == 5) {
            out.push_back(e);
        }
    }
    return out;
}

class ServerTest : public ProcessorTest, public ::testing::WithParamInterface<ServerFacts> {};

// The counts and the summary are the README's facts; every APIC line is checked
// against them: one line per processor, no id twice (leaf 1's byte would repeat
// ids beyond 255), the package from the id's high bits, each package with its
// cores, each core with its threads.
TEST_P(ServerTest, ReportsEveryProcessorAsTheMachineIs) {
    const ServerFacts& f = GetParam();
    sim::Machine& m = MachineFromDump(f.file);
    m.walk = sim::Machine::Walk::kProcessorSets;
    ASSERT_EQ(RunWholeProgram(), 0);
    const std::vector<std::string> lines = Lines(machine->output);
    const int threadsPerPackage = f.coresPerPackage * f.threadsPerCore;
    for (const std::string& line : {"Nombre de processeurs physiques : " + std::to_string(f.packages),
                                    "Nombre max de cores par CPU : " + std::to_string(f.coresPerPackage),
                                    "Nombre max de thread par CPU : " + std::to_string(threadsPerPackage),
                                    "Nombre max de thread par core : " + std::to_string(f.threadsPerCore),
                                    "Nombre total de processeurs logiques : " + std::to_string(f.logical),
                                    std::string(f.summary), std::string(f.l2Line), std::string(f.l3Line)}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }

    const std::vector<ApicLine> apic = ApicLines(lines);
    ASSERT_EQ(apic.size(), static_cast<size_t>(f.logical));
    std::set<unsigned> ids;
    std::map<unsigned, std::set<unsigned>> coresOf;
    std::map<std::pair<unsigned, unsigned>, std::set<unsigned>> threadsOf;
    for (const ApicLine& e : apic) {
        EXPECT_TRUE(ids.insert(e.apicId).second) << "APIC id " << e.apicId << " twice";
        EXPECT_EQ(e.packageId, e.apicId >> f.packageShift) << e.apicId;
        coresOf[e.packageId].insert(e.coreId);
        threadsOf[{e.packageId, e.coreId}].insert(e.threadId);
    }
    EXPECT_EQ(coresOf.size(), static_cast<size_t>(f.packages));
    for (const auto& package : coresOf) EXPECT_EQ(package.second.size(), static_cast<size_t>(f.coresPerPackage));
    for (const auto& core : threadsOf) EXPECT_EQ(core.second.size(), static_cast<size_t>(f.threadsPerCore));
}

// Package shifts: leaf 0xB subleaf 1 EAX[4:0] on Intel (6 on Haswell-EP, 7 on the
// w9-3475X); on AMD the core width of 0x80000008 ECX[15:12] (7 on the 3960X and
// Rome, 8 on Genoa, whose second package starts at id 256). The caches are the
// first package's only: Rome's two packages have 32 L3s, Genoa's 24.
INSTANTIATE_TEST_SUITE_P(
    Dumps, ServerTest,
    ::testing::Values(
        ServerFacts{"Threadripper3960X", "AuthenticAMD0830F10_K17_CastlePeak_CPUID2.txt", 1, 24, 2, 48,
                    "1 Processeur Multicore 64 bits", 7, "Cache L2 : 24 x 512 Ko", "Cache L3 : 131072 Ko"},
        ServerFacts{"TwoXeonE5_2699v3", "GenuineIntel00306F2_HaswellEP_CPUID.txt", 2, 18, 2, 72,
                    "2 Processeurs Multicore HT On 64 bits", 6, "Cache L2 : 18 x 256 Ko", "Cache L3 : 46080 Ko"},
        ServerFacts{"XeonW9_3475X", "GenuineIntel00806F8_SapphireRapids_06_CPUID.txt", 1, 36, 2, 72,
                    "1 Processeur Multicore HT On 64 bits", 7, "Cache L2 : 36 x 2048 Ko", "Cache L3 : 84480 Ko"},
        ServerFacts{"TwoEpyc7742", "AuthenticAMD0830F10_K17_Rome_CPUID.txt", 2, 64, 2, 256,
                    "2 Processeurs Multicore 64 bits", 7, "Cache L2 : 64 x 512 Ko", "Cache L3 : 262144 Ko"},
        ServerFacts{"TwoEpyc9654", "AuthenticAMD0A10F11_K19_Genoa_01_CPUID.txt", 2, 96, 2, 384,
                    "2 Processeurs Multicore 64 bits", 8, "Cache L2 : 96 x 1024 Ko", "Cache L3 : 393216 Ko"}),
    case_names::ByName{});

// Leaf 1's byte wraps beyond 255: the last of Genoa's 384 processors is x2APIC id
// 447 (package 1's ids start at 256), core 95 of package 1.
TEST_F(ProcessorTest, GenoaPrintsTheWholeX2ApicId) {
    sim::Machine& m = MachineFromDump("AuthenticAMD0A10F11_K19_Genoa_01_CPUID.txt");
    m.walk = sim::Machine::Walk::kProcessorSets;
    ExpectLinesInOrder({" . CPU191 : Apic=191 Phy=0 Core=95 Log=1", " . CPU192 : Apic=256 Phy=1 Core=0 Log=0",
                        " . CPU383 : Apic=447 Phy=1 Core=95 Log=1"});
}

// Atom modules (Celeron J1900: 4 cores, 2 per L2). The blocks list APIC ids 0, 2,
// 4, 6. Leaf 11: thread shift 1 but 1 thread per core, 4 per package: 4 cores. Leaf 4's
// L2 is shared by 4 ids (EAX 0x1C00C143); with the thread bit shifted off, 2 cores:
// 4 / 2 = 2 L2s (threads / sharing ids said 1). Decoding: core = id >> 1. Leaf 2's
// 0xFF (EBX 0x0000FFC2) sends the sizes to leaf 4: L2 16 ways x 64 x 1024 sets =
// 1024 KB, no L3. No HT word: 4 threads, 4 cores.
TEST_F(ProcessorTest, AtomModulesCountL2sFromTheSharedIds) {
    MachineFromDump("GenuineIntel0030673_Silvermont3_CPUID.txt");
    ExpectReport({"Intel(R) Celeron(R) CPU J1900 @ 1.99GHz",
                  "CPU Family 06 Model 37 Stepping 3",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 4",
                   "Nombre max de thread par CPU : 4",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 4",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=2 Phy=0 Core=1 Log=0",
                   " . CPU2 : Apic=4 Phy=0 Core=2 Log=0",
                   " . CPU3 : Apic=6 Phy=0 Core=3 Log=0",
                   "Cache L2 : 2 x 1024 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Quadcore 64 bits"}});
}

// Jaguar (A4-5000, family 0x16: 4 cores, one L2 shared by all four). 0x80000008 ECX
// 0x3003: 4 cores, core width 3; leaf 1 counts 4. 0x80000001 ECX bit 22 announces
// 0x8000001D, whose L2 entry (EAX 0x0000C143) is shared by 4 threads: 4 / 4 = 1 L2.
// 0x80000006 ECX 0x08008140: 2048 KB; EDX 0: no L3.
TEST_F(ProcessorTest, JaguarSharesOneL2AmongFourCores) {
    MachineFromDump("AuthenticAMD0700F01_K16_Kabini_CPUID.txt");
    ExpectReport({"AMD A4-5000 APU with Radeon(TM) HD Graphics",
                  "CPU Family 16 Model 00 Stepping 1",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 4",
                   "Nombre max de thread par CPU : 4",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 4",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=1 Log=0",
                   " . CPU2 : Apic=2 Phy=0 Core=2 Log=0",
                   " . CPU3 : Apic=3 Phy=0 Core=3 Log=0",
                   "Cache L2 : 1 x 2048 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Quadcore 64 bits"}});
}

// Family 0x15 models 60h-7Fh (FX-8800P: two modules of two cores). 0x8000001E EBX[15:8]
// = 1 counts cores per module here, not threads: one thread per core. 0x80000008 ECX
// 0x4003: 4 cores, core width 4. 0x8000001D's L2 (EAX 0x00004143) is shared by 2:
// 4 / 2 = 2 L2s, as the module pairs always gave. 0x80000006 ECX 0x04008140: 1024 KB.
TEST_F(ProcessorTest, ExcavatorModulesPairCoresOnAnL2) {
    MachineFromDump("AuthenticAMD0660F01_K15_Carrizo_CPUID.txt");
    ExpectReport({"AMD FX-8800P Radeon R7, 12 Compute Cores 4C+8G",
                  "CPU Family 15 Model 60 Stepping 1",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 4",
                   "Nombre max de thread par CPU : 4",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 4",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=1 Log=0",
                   " . CPU2 : Apic=2 Phy=0 Core=2 Log=0",
                   " . CPU3 : Apic=3 Phy=0 Core=3 Log=0",
                   "Cache L2 : 2 x 1024 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Quadcore 64 bits"}});
}

// Dual-core K8 (Athlon 64 X2 3800+). 0x80000008 ECX 0x00000001: 2 cores, and a core
// width field of 0, which on these parts means as many bits as 2 cores need: 1. So
// APIC id 1 is core 1 of package 0. 0x80000006 ECX 0x02008140: a 512 KB L2 per core.
TEST_F(ProcessorTest, K8DualCoreTakesItsCoreWidthFromTheCount) {
    MachineFromDump("AuthenticAMD0020FB1_K8_Manchester_CPUID.txt");
    ExpectReport({"AMD Athlon(tm) 64 X2 Dual Core Processor 3800+",
                  "CPU Family 0F Model 2B Stepping 1",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 2",
                   "Nombre max de thread par CPU : 2",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 2",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=1 Log=0",
                   "Cache L2 : 2 x 512 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Dualcore 64 bits"}});
}

// Highest standard leaf 0xD but leaf 11 all zeros (Pentium Dual-Core T4200): the ids
// come from leaf 1 and the counts. Leaf 1: 2 logical, HTT set. Leaf 4: L1 cores field
// 1, sharing 0 (S1 1); L2 sharing 1 (S2 2). Leaf 11 adds nothing: 1 thread per core,
// 2 cores, S1 = 1 thread per core: 2 / 2 = 1 L2. Decoding: thread shift 0, core width
// 1: APIC ids 0 and 1 are cores 0 and 1. Leaf 2 EDX 0x2CB43078: 0x78 is a 1024 KB L2.
TEST_F(ProcessorTest, EmptyLeaf11DecodesIdsFromTheCounts) {
    MachineFromDump("GenuineIntel001067A_Penryn_CPUID.txt");
    ExpectReport({"Pentium(R) Dual-Core CPU T4200 @ 2.00GHz",
                  "CPU Family 06 Model 17 Stepping A",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 2",
                   "Nombre max de thread par CPU : 2",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 2",
                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0",
                   " . CPU1 : Apic=1 Phy=0 Core=1 Log=0",
                   "Cache L2 : 1 x 1024 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Dualcore 64 bits"}});
}

// A VIA Samuel: highest standard leaf 1, whose EBX 0xC1704000 is garbage: 112 logical
// processors without the HTT flag, on a machine of one. The count is not believed:
// 1 thread, 1 core, 1 L2. The APIC byte (0xC1) of that same noise is shown as read but
// numbers no package: package, core and thread 0. No 0x80000006 (highest extended leaf 0x80000005): no L2 size.
TEST_F(ProcessorTest, GarbageLeaf1CountIsNotBelievedWithoutHtt) {
    MachineFromDump("CentaurHauls0000660_C5A_Samuel_CPUID.txt");
    ExpectReport({"VIA Samuel",
                  "CPU Family 06 Model 06 Stepping 0",
                  {"Nombre de processeurs physiques : 1",
                   "Nombre max de cores par CPU : 1",
                   "Nombre max de thread par CPU : 1",
                   "Nombre max de thread par core : 1",
                   "Nombre total de processeurs logiques : 1",
                   " . CPU0 : Apic=193 Phy=0 Core=0 Log=0",
                   "Cache L2 : 1 x 0 Ko",
                   "Cache L3 : 0 Ko",
                   "1 Processeur Monocore 32 bits"}});
}

// Zhaoxin KaiXian KX-U6780A (8 cores, two L2s each shared by four): another maker,
// vendor 0, with a filled-in leaf 11: 1 thread per core (thread shift 0), 8 per
// package: 8 cores. Leaf 4's L2 (EAX 0x1C00C143) is shared by 4 ids: 8 / 4 = 2 L2s.
// Decoding from the counts: core width 3, APIC ids 0 to 7. 0x80000006 ECX 0x10008140:
// 4096 KB; EDX 0: no L3.
TEST_F(ProcessorTest, ZhaoxinCountsFromLeaf11AndItsL2sFromLeaf4) {
    MachineFromDump("CentaurHauls00307B1_ZXE_CPUID.txt");
    ExpectLinesInOrder({"CPU : ZHAOXIN KaiXian KX-U6780A@2.7GHz",
                        "Nombre de processeurs physiques : 1",
                        "Nombre max de cores par CPU : 8",
                        "Nombre max de thread par CPU : 8",
                        "Nombre max de thread par core : 1",
                        "Nombre total de processeurs logiques : 8",
                        " . CPU7 : Apic=7 Phy=0 Core=7 Log=0",
                        "Cache L2 : 2 x 4096 Ko",
                        "Cache L3 : 0 Ko",
                        "1 Processeur Octocore 64 bits"});
}

// Zen 4 whose 0x80000006 reports no L3 (Ryzen 9 7940H, Phoenix: 8 cores, 16 threads).
// 0x80000006 EDX 0x00009000: L3 field 0. 0x8000001D lists it (announced by 0x80000001
// ECX bit 22): EBX 0x03C0003F, ECX 0x3FFF: 16 ways x 1 x 64 x 16384 sets = 16384 KB.
// Zen SMT counts: 0x80000008 ECX 0x400F, 2 threads per core: 8 cores, 8 L2s of
// 1024 KB (ECX 0x04006140). 16 / (8 x 2) = 1 package.
TEST_F(ProcessorTest, ZenL3FromItsCacheTopologyLeaf) {
    MachineFromDump("AuthenticAMD0A70F41_K19_Phoenix_03_CPUID.txt");
    ExpectLinesInOrder({"CPU : AMD Ryzen 9 7940H w/ Radeon 780M Graphics",
                        "Nombre max de cores par CPU : 8",
                        "Nombre max de thread par core : 2",
                        " . CPU15 : Apic=15 Phy=0 Core=7 Log=1",
                        "Cache L2 : 8 x 1024 Ko",
                        "Cache L3 : 16384 Ko",
                        "1 Processeur Octocore 64 bits"});
}

// --- Caches as each processor's own leaf lists them ---

// A machine's cache lines, from the README's facts, in a walk over every block.
struct CacheFacts {
    const char* name;
    const char* file;
    const char* l2Line;
    const char* l3Line;
};

class CacheLinesTest : public ProcessorTest, public ::testing::WithParamInterface<CacheFacts> {};

TEST_P(CacheLinesTest, CountsTheCachesEachProcessorLists) {
    const CacheFacts& f = GetParam();
    MachineFromDump(f.file).walk = sim::Machine::Walk::kProcessorSets;
    ExpectLinesInOrder({f.l2Line, f.l3Line});
}

// A cache's id is the APIC id with the bits of the ids sharing it cleared
// (EAX[25:14] + 1, rounded up to a power of two); each distinct id is one cache.
// - Atom E3827: APIC ids 0 and 4, each listing a 512 KB L2 (8 ways x 64 x 1024
//   sets) shared by 4 ids: ids 0 and 4, two L2s, where 2 processors / 4 sharing gave
//   one. Intel's L3 line stays the first processor's: leaf 4 lists none.
// - 7950X3D: 0x8000001D's L3 (EAX 0x0003C163) is shared by 16 ids: APIC ids 0-15
//   list 16 ways x 64 x 0x18000 sets = 98304 KB, 16-31 list 0x8000 sets = 32768 KB;
//   98304 + 32768 = 131072, where 0x80000006 EDX (0x06009140) said 196608.
// - 7900X3D: the same two L3s, shared by 12 ids (rounded to 16): ids 0-11 and 16-27.
// - HX 370: APIC ids 0-7 list a 16384 KB L3 shared by 8, ids 16-31 an 8192 KB one
//   shared by 16: 24576, where 0x80000006 gave the first one only.
// - 5900X: two 32768 KB L3s (ids 0-11, 16-27), 65536, as 0x80000006 already said.
// Every L2 of these AMD parts is shared by the two threads of a core: one per core.
INSTANTIATE_TEST_SUITE_P(
    Dumps, CacheLinesTest,
    ::testing::Values(
        CacheFacts{"AtomE3827", "GenuineIntel0030679_Silvermont_CPUID.txt", "Cache L2 : 2 x 512 Ko",
                   "Cache L3 : 0 Ko"},
        CacheFacts{"Ryzen9_7950X3D", "AuthenticAMD0A60F12_K19_Raphael_09_CPUID.txt", "Cache L2 : 16 x 1024 Ko",
                   "Cache L3 : 131072 Ko"},
        CacheFacts{"Ryzen9_7900X3D", "AuthenticAMD0A60F12_K19_Raphael_05_CPUID.txt", "Cache L2 : 12 x 1024 Ko",
                   "Cache L3 : 131072 Ko"},
        CacheFacts{"RyzenAI9_HX370", "AuthenticAMD0B20F40_K20_StrixPoint_06_CPUID.txt", "Cache L2 : 12 x 1024 Ko",
                   "Cache L3 : 24576 Ko"},
        CacheFacts{"Ryzen9_5900X", "AuthenticAMD0A20F10_K19_Vermeer2_CPUID.txt", "Cache L2 : 12 x 512 Ko",
                   "Cache L3 : 65536 Ko"}),
    case_names::ByName{});

// Faults that leave a processor of the first package without its own list, or
// a walk that may not have reached all of it.
void LastProcessorListsNoL2(sim::Machine& m) {
    // Leaf 4 ends before its L2 entry (subleaf 2).
    m.processors.back().cpuid[{4, 2}] = sim::Registers{};
}
void PinsOfOneCoreFail(sim::Machine& m) {
    // Blocks 6 and 7: APIC ids 52 and 53, the two threads of one core of package 1.
    m.failingPins.insert({6, 7});
}
void ProcessKeptOffTheLastProcessors(sim::Machine& m) {
    for (int cpu = 0; cpu + 4 < static_cast<int>(m.processors.size()); ++cpu) m.allowedProcessors.push_back(cpu);
}
void SecondCcdListsNoL3(sim::Machine& m) {
    for (size_t cpu = 16; cpu < m.processors.size(); ++cpu) m.processors[cpu].cpuid[{0x8000001D, 3}] = sim::Registers{};
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
        PartialWalk{"OneProcessorListsNoL2", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt", LastProcessorListsNoL2,
                    "Cache L2 : 2 x 1280 Ko"},
        PartialWalk{"PinsOfOneCoreFail", "GenuineIntel00206C1_Gulftown_CPUID.txt", PinsOfOneCoreFail,
                    "Cache L2 : 4 x 256 Ko"},
        PartialWalk{"ProcessKeptOffSomeProcessors", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                    ProcessKeptOffTheLastProcessors, "Cache L2 : 2 x 1280 Ko"},
        PartialWalk{"HalfThePackageListsNoL3", "AuthenticAMD0A60F12_K19_Raphael_09_CPUID.txt", SecondCcdListsNoL3,
                    "Cache L3 : 196608 Ko"},
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
    sim::Machine::Walk walk;
    const char* line;  // the hybrid line, or kNoHybridLine where the next line is the usual one
};

class HybridLineTest : public ProcessorTest, public ::testing::WithParamInterface<HybridFacts> {};

TEST_P(HybridLineTest, FollowsTheThreadsPerCoreLine) {
    const HybridFacts& f = GetParam();
    MachineFromDump(f.file).walk = f.walk;
    ASSERT_EQ(RunWholeProgram(), 0);
    EXPECT_EQ(LineAfterThreadsPerCore(machine->output).rfind(f.line, 0), 0u) << machine->output;
    EXPECT_EQ(machine->output.find("Cores hybrides") == std::string::npos, f.line == kNoHybridLine);
}

HybridFacts ThroughWindowsMasks(const char* name, const char* file, const char* line) {
    return {name, file, sim::Machine::Walk::kWindowsMasks, line};
}
HybridFacts ThroughProcessorSets(const char* name, const char* file, const char* line) {
    return {name, file, sim::Machine::Walk::kProcessorSets, line};
}

// Distinct cores are distinct (package, core) pairs of the first package, as decoded.
// - i7-12700H: leaf 7 EDX 0xFC18C410, bit 15 set. Leaf 0x1A EAX[31:24] is 0x40 on
//   blocks 0-11 (APIC ids 0/1, 8/9, ... 40/41: cores 0, 4, ... 20) and 0x20 on
//   blocks 12-19 (ids 48, 50, ... 62: cores 24-31): 6 P-cores of 12 threads, 8 E-cores of 8.
// - Core Ultra 9 288V: leaf 7 EDX 0xFC1CC430, bit 15 set; 0x40 on ids 0, 8, 16, 24
//   (cores 0, 4, 8, 12), 0x20 on ids 64, 66, 68, 70 (cores 32-35): 4 + 4, one thread each.
// - Ryzen AI 9 HX 370: 0x80000026 (within its highest extended leaf 0x80000028),
//   subleaf 0 EBX[31:28] is 0 on ids 0-7 (cores 0-3) and 1 on ids 16-31 (cores
//   8-15): 4 Zen 5 cores of 8 threads, 8 Zen 5c cores of 16, as AMD lists the part.
// - i5-12400: six P-cores only; leaf 7 EDX bit 15 clear, its leaf 0x1A all zeros.
// - Ryzen 9 7940H: 0x80000026 EBX[31:28] is 0 on all 16 processors: one kind.
INSTANTIATE_TEST_SUITE_P(
    Dumps, HybridLineTest,
    ::testing::Values(
        ThroughWindowsMasks("i7_12700H", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                            "Cores hybrides : 6 P (12 threads) + 8 E (8 threads)"),
        ThroughProcessorSets("i7_12700H_Linux", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                             "Cores hybrides : 6 P (12 threads) + 8 E (8 threads)"),
        ThroughWindowsMasks("CoreUltra9_288V", "GenuineIntel00B06D1_LunarLake_04_CPUID.txt",
                            "Cores hybrides : 4 P (4 threads) + 4 E (4 threads)"),
        ThroughProcessorSets("CoreUltra9_288V_Linux", "GenuineIntel00B06D1_LunarLake_04_CPUID.txt",
                             "Cores hybrides : 4 P (4 threads) + 4 E (4 threads)"),
        ThroughWindowsMasks("RyzenAI9_HX370", "AuthenticAMD0B20F40_K20_StrixPoint_06_CPUID.txt",
                            "Cores hybrides : 4 P (8 threads) + 8 E (16 threads)"),
        ThroughProcessorSets("RyzenAI9_HX370_Linux", "AuthenticAMD0B20F40_K20_StrixPoint_06_CPUID.txt",
                             "Cores hybrides : 4 P (8 threads) + 8 E (16 threads)"),
        ThroughWindowsMasks("i5_12400_PCoresOnly", "GenuineIntel0090672_AlderLake_02_CPUID.txt", kNoHybridLine),
        ThroughProcessorSets("i5_12400_PCoresOnly_Linux", "GenuineIntel0090672_AlderLake_02_CPUID.txt",
                             kNoHybridLine),
        ThroughProcessorSets("Ryzen9_7940H_OneKind", "AuthenticAMD0A70F41_K19_Phoenix_03_CPUID.txt", kNoHybridLine)),
    case_names::ByName{});

// Faults after which the walk cannot vouch for the first package's kinds.
void PinOfAnECoreFails(sim::Machine& m) {
    m.failingPins.insert(15);
}
void DumpOfPartOfTheMachine(sim::Machine& m) {
    // The 12 P-core threads and 2 of the 8 E-cores: 14 of the 20 that leaf 0xB counts.
    m.processors.resize(14);
}
void LastBlocksRepeatOneProcessor(sim::Machine& m) {
    // As a recording tool that could not move on: APIC id 58 three times.
    m.processors[18] = m.processors[17];
    m.processors[19] = m.processors[17];
}
void AnIntelTypeNamesNeitherKind(sim::Machine& m) {
    m.processors[15].cpuid[{0x1A, 0}].eax = 0x10000001;
}
void TheThreadsOfOneCoreDisagree(sim::Machine& m) {
    // Block 1 is the second thread of P-core 0 (APIC id 1).
    m.processors[1].cpuid[{0x1A, 0}].eax = 0x20000001;
}
void AnAmdTypeNamesNeitherKind(sim::Machine& m) {
    m.processors[20].cpuid[{0x80000026, 0}].ebx |= 0x20000000;
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
                                  ProcessKeptOffTheLastProcessors},
                      HybridFault{"DumpOfPartOfTheMachine", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                                  DumpOfPartOfTheMachine},
                      HybridFault{"ApicIdsComeTwice", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                                  LastBlocksRepeatOneProcessor},
                      HybridFault{"IntelTypeNamesNeitherKind", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                                  AnIntelTypeNamesNeitherKind},
                      HybridFault{"ThreadsOfOneCoreDisagree", "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                                  TheThreadsOfOneCoreDisagree},
                      HybridFault{"AmdTypeNamesNeitherKind", "AuthenticAMD0B20F40_K20_StrixPoint_06_CPUID.txt",
                                  AnAmdTypeNamesNeitherKind}),
    case_names::ByName{});

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

// Another maker's L3, in leaf 4: a Zhaoxin part whose 0x80000006 EDX is empty.
// The KX-U6780A given, on each of its 8 processors, a leaf 4 L3 shared by 8 ids
// (EAX 0x0001C163) of 16 ways x 64 x 16384 sets: one L3 of 16384 KB, where
// 0x80000006 says 0.
TEST_F(ProcessorTest, OtherMakersL3FromLeaf4) {
    sim::Machine& m = MachineFromDump("CentaurHauls00307B1_ZXE_CPUID.txt");
    m.walk = sim::Machine::Walk::kProcessorSets;
    for (sim::Processor& p : m.processors) {
        p.cpuid[{4, 4}] = p.cpuid[{4, 3}];  // the list's end, one further
        p.cpuid[{4, 3}] = sim::Registers{0x0001C163, 0x03C0003F, 0x00003FFF, 0};
    }
    ExpectLinesInOrder({"Cache L2 : 2 x 4096 Ko", "Cache L3 : 16384 Ko"});
}

// Hygon C86 3185: Zen under another maker's name, read by AMD's Zen rules.
// 0x80000008 ECX 0x400F: 16 threads; 0x8000001E EBX[15:8] = 1: 2 per core, so 8
// cores; the thread is APIC id bit 0. 0x8000001D: each core's 512 KB L2 shared by
// its 2 threads (8 L2s); two 8192 KB L3s shared by 8 ids (ids 0-7, 8-15): 16384.
// Its vendor byte stays "other": no AMD temperature path.
TEST_F(ProcessorTest, HygonFollowsAmdsZenRules) {
    MachineFromDump("HygonGenuine0900F02_Hygon_CPUID.txt").walk = sim::Machine::Walk::kProcessorSets;
    ExpectLinesInOrder({"CPU Family 18 Model 00 Stepping 2",
                        "Nombre de processeurs physiques : 1",
                        "Nombre max de cores par CPU : 8",
                        "Nombre max de thread par CPU : 16",
                        "Nombre max de thread par core : 2",
                        "Nombre total de processeurs logiques : 16",
                        " . CPU1 : Apic=1 Phy=0 Core=0 Log=1",
                        " . CPU15 : Apic=15 Phy=0 Core=7 Log=1",
                        "Cache L2 : 8 x 512 Ko",
                        "Cache L3 : 16384 Ko",
                        "1 Processeur Octocore 64 bits"});
    EXPECT_EQ(record->vendor, kVendorOther);
    EXPECT_EQ(machine->output.find("Tcore"), std::string::npos) << machine->output;
}

}  // namespace
