// Whole recorded processors run through the program: the clock block of the
// report, from the "ConstTSC" line to the retained frequency, with both the
// time-stamp counter and MSR 0xE8 ticking at 2400 MHz. Each expectation is
// worked out by hand from what the processor is (invariant counter, leaf 6's
// counter bit, the ratios its MSRs record); the comment above each case says how.
// The recorded MSR 0xE8 sample is not used: the counter ticks, so it reads non-zero.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "case_names.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

using Lines = std::vector<std::string>;

struct ClockBlockCase : case_names::Named {
    const char* dump;  // under tests/fixtures/dumps
    Lines block;
};

// The lines from "ConstTSC=" to "Frequence retenue", both included.
Lines ClockBlock(const std::string& report) {
    Lines block;
    std::istringstream in(report);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ConstTSC=", 0) == 0) inside = true;
        if (inside) block.push_back(line);
        if (inside && line.rfind("Frequence retenue", 0) == 0) break;
    }
    return block;
}

class ProcessorClockTest : public SimTest, public ::testing::WithParamInterface<ClockBlockCase> {};

TEST_P(ProcessorClockTest, PrintsTheClockBlockTheProcessorCalls) {
    const ClockBlockCase& c = GetParam();
    sim::Machine& m = MachineFromDump(c.dump);
    m.tscMhz = 2400.0;
    m.aperfMhz = 2400.0;
    ASSERT_EQ(RunWholeProgram(), 0);
    EXPECT_EQ(ClockBlock(machine->output), c.block);
}

// Blocks shared by processors that print only the classic method.
Lines ClassicOnly(const char* flags) {
    return {flags, "Methode classique : 2400.00 MHz", "Frequence retenue : 2400.00 MHz"};
}

// An Intel block: flags 1 / 1, the multipliers, and the fixed frequency that
// is also retained (the alternative methods do not run on these models).
Lines IntelBlock(const char* multipliers, const char* fixedMhz) {
    return {"ConstTSC=1 PerfMSR=1", multipliers, "Methode classique : 2400.00 MHz",
            std::string("Methode classique fixed : ") + fixedMhz + " MHz",
            std::string("Frequence retenue : ") + fixedMhz + " MHz"};
}

INSTANTIATE_TEST_SUITE_P(
    Recorded, ProcessorClockTest,
    ::testing::Values(
        // K8: 0x80000007 EDX 0x0F, no invariant counter; highest leaf 1, no leaf 6.
        ClockBlockCase{{"AmdK8Manchester"}, "AuthenticAMD0020FB1_K8_Manchester_CPUID.txt",
                       ClassicOnly("ConstTSC=0 PerfMSR=0")},
        // Family 10h: invariant counter (EDX 0x1F9, bit 8); highest leaf 5, so no counter bit.
        ClockBlockCase{{"AmdK10Deneb"}, "AuthenticAMD0100F42_K10_Deneb_CPUID.txt",
                       ClassicOnly("ConstTSC=1 PerfMSR=0")},
        // Family 15h: invariant counter (EDX 0x3D9) and leaf 6 ECX bit 0; no multiplier row off Intel.
        ClockBlockCase{{"AmdK15Zambezi"}, "AuthenticAMD0600F12_K15_Zambezi8C_CPUID.txt",
                       ClassicOnly("ConstTSC=1 PerfMSR=1")},
        // Zen: invariant counter (EDX 0x6599) and leaf 6 ECX bit 0.
        ClockBlockCase{{"AmdZenSummitRidge"}, "AuthenticAMD0800F11_K17_Zen2_CPUID.txt",
                       ClassicOnly("ConstTSC=1 PerfMSR=1")},
        // VIA Samuel: family 6 model 6, before the Nano; highest leaf 1.
        ClockBlockCase{{"CentaurSamuel"}, "CentaurHauls0000660_C5A_Samuel_CPUID.txt",
                       ClassicOnly("ConstTSC=0 PerfMSR=0")},
        // VIA Nano: family 6 model 0x0F, constant rate without the flag; leaf 6 all zeros.
        ClockBlockCase{{"CentaurNanoIsaiah"}, "CentaurHauls00006F2_CNA_Isaiah_CPUID.txt",
                       ClassicOnly("ConstTSC=1 PerfMSR=0")},
        // Zhaoxin under the Centaur name: family 7, invariant counter; leaf 6 ECX 0.
        ClockBlockCase{{"CentaurZhaoxin"}, "CentaurHauls00307B1_ZXE_CPUID.txt",
                       ClassicOnly("ConstTSC=1 PerfMSR=0")},
        // Pentium III and Pentium 4 model 2: no constant rate, no leaf 6.
        ClockBlockCase{{"IntelCoppermine"}, "GenuineIntel0000683_P3_Coppermine_CPUID.txt",
                       ClassicOnly("ConstTSC=0 PerfMSR=0")},
        ClockBlockCase{{"IntelNorthwood"}, "GenuineIntel0000F29_P4_Northwood_CPUID.txt",
                       ClassicOnly("ConstTSC=0 PerfMSR=0")},
        // Core 2 (model 0x17): MSR 0x198 bit 31 clear, so MSR 0x17 low 0xB9F4C822 gives
        // 8 + 0.5; 0x198 low 0x06000927 gives 9. 2400 x 9 / 8.5 = 2541.18.
        ClockBlockCase{{"IntelPenryn"}, "GenuineIntel0010676_Penryn_CPUID.txt",
                       IntelBlock("CoefMaxi=8.5 CoefActuel=9.0", "2541.18")},
        // The same model with no MSR recorded: every multiplier read fails, no correction.
        ClockBlockCase{{"IntelPenrynNoMsrs"}, "GenuineIntel001067A_Penryn_CPUID.txt",
                       IntelBlock("CoefMaxi=0.0 CoefActuel=0.0", "2400.00")},
        // Nehalem (0x1A): MSR 0xCE bits 15:8 = 0x18, MSR 0x198 bits 7:0 = 0x19: 24 / 25.
        ClockBlockCase{{"IntelBloomfield"}, "GenuineIntel00106A4_Bloomfield_CPUID.txt",
                       IntelBlock("CoefMaxi=24.0 CoefActuel=25.0", "2500.00")},
        // Westmere-EP (0x2C): 0xCE 0x0C011700 -> 23; 0x198 bits 7:0 = 0x0C -> 12.
        ClockBlockCase{{"IntelGulftown"}, "GenuineIntel00206C1_Gulftown_CPUID.txt",
                       IntelBlock("CoefMaxi=23.0 CoefActuel=12.0", "1252.17")},
        // Silvermont (0x37): 0xCE 0x1800 and 0x198 0x183B both give 24; MSR 0x17's 29 is noise.
        ClockBlockCase{{"IntelSilvermont"}, "GenuineIntel0030673_Silvermont3_CPUID.txt",
                       IntelBlock("CoefMaxi=24.0 CoefActuel=24.0", "2400.00")},
        // Haswell-EP (0x3F): 0xCE 0xFB811700 -> 23; 0x198 0x0C00 -> 12.
        ClockBlockCase{{"IntelHaswellEP"}, "GenuineIntel00306F2_HaswellEP_CPUID.txt",
                       IntelBlock("CoefMaxi=23.0 CoefActuel=12.0", "1252.17")},
        // Alder Lake (0x97): 0xCE 0xF9811900 -> 25; 0x198 0x2A00 -> 42, beyond five bits.
        ClockBlockCase{{"IntelAlderLake"}, "GenuineIntel0090672_AlderLake_02_CPUID.txt",
                       IntelBlock("CoefMaxi=25.0 CoefActuel=42.0", "4032.00")},
        // Alder Lake-P (0x9A): 0xCE 0xF9811B00 -> 27; 0x198 0x0800 -> 8.
        ClockBlockCase{{"IntelAlderLakeP"}, "GenuineIntel00906A2_AlderLakeP_00_CPUID.txt",
                       IntelBlock("CoefMaxi=27.0 CoefActuel=8.0", "711.11")},
        // Lunar Lake (0xBD): 0xCE 0xF0812100 -> 33; 0x198 0x2A00 -> 42, above the non-turbo ratio.
        ClockBlockCase{{"IntelLunarLake"}, "GenuineIntel00B06D1_LunarLake_04_CPUID.txt",
                       IntelBlock("CoefMaxi=33.0 CoefActuel=42.0", "3054.55")}),
    case_names::ByName{});

}  // namespace
