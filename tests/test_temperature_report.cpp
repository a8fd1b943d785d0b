// The temperature section: the wait, the vendor's section and its line forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/report.h"
#include "hwaccess/ols_library.h"
#include "sim_test_support.h"

namespace {

constexpr uint32_t kThermalStatus = 0x19C;
constexpr uint64_t kReadingValid = 0x80000000u;

class TemperatureReportTest : public SimTest {
protected:
    // Intel with a sensor; processor i reads Tj(max) - 10 - i.
    CSystemInfo& Intel(int processors, uint8_t packageCount) {
        CSystemInfo& info = ReadyRecord(1, processors);
        info.intelDts = 1;
        info.tjMax = 100;
        info.packageCount = packageCount;
        for (int i = 0; i < processors; ++i) {
            machine->Cpu(i).msrs[kThermalStatus] = kReadingValid | static_cast<uint64_t>(10 + i) << 16;
        }
        return info;
    }
};

TEST_F(TemperatureReportTest, SinglePackageIntelLinesAreNumberedByLogicalProcessor) {
    CSystemInfo& info = Intel(2, 1);
    PrintIntelTemperatures(info);
    EXPECT_EQ(machine->output,
              "Support Intel DTS : Oui\n"
              "Tj(Max) = 100\xF8" "C\n"
              "Tcore0 = 90.0\xF8" "C\n"
              "Tcore1 = 89.0\xF8" "C\n");
}

// Processor 4 is outside the system mask, so its thread cannot be pinned.
TEST_F(TemperatureReportTest, MultiPackageIntelLinesNameThePackageAndCore) {
    CSystemInfo& info = Intel(6, 2);
    const ApicEntry entries[6] = {{0, 0, 0, 0}, {1, 0, 1, 0}, {2, 0, 2, 0}, {4, 1, 0, 0}, {5, 1, 1, 0}, {6, 1, 2, 0}};
    for (int i = 0; i < 6; ++i) info.processors[i].apic = entries[i];
    machine->systemMask = 0x2F;

    PrintIntelTemperatures(info);

    EXPECT_EQ(machine->output,
              "Support Intel DTS : Oui\n"
              "Tj(Max) = 100\xF8" "C\n"
              "Tcpu0core0 = 90.0\xF8" "C\n"
              "Tcpu0core1 = 89.0\xF8" "C\n"
              "Tcpu0core2 = 88.0\xF8" "C\n"
              "Tcpu1core0 = 87.0\xF8" "C\n"
              "Tcore4 = Invalide\n"
              "Tcpu1core2 = 85.0\xF8" "C\n");
}

TEST_F(TemperatureReportTest, IntelWithoutASensorPrintsOnlyTheSupportLine) {
    CSystemInfo& info = Intel(2, 1);
    info.intelDts = 0;
    PrintIntelTemperatures(info);
    EXPECT_EQ(machine->output, "Support Intel DTS : Non\n");
    EXPECT_TRUE(machine->threads.empty());
}

TEST_F(TemperatureReportTest, IntelReadingsWithoutTheLibraryAreInvalid) {
    CSystemInfo& info = Intel(2, 2);
    info.driverStatus = 3;
    PrintIntelTemperatures(info);
    EXPECT_EQ(machine->output,
              "Support Intel DTS : Oui\n"
              "Tj(Max) = 100\xF8" "C\n"
              "Tcore0 = Invalide\n"
              "Tcore1 = Invalide\n");
}

TEST_F(TemperatureReportTest, AmdLinesCarryOneDecimal) {
    CSystemInfo& info = ReadyRecord(2, 2);
    info.amdThermal = 1;
    info.extFamily = 1;
    info.processors[1].apic.packageId = 1;
    machine->library.pciRegisters[{0x18, 3, 0xA4}] = 0x3A200000;  // 58.125
    machine->library.pciRegisters[{0x19, 3, 0xA4}] = 0x3A600000;  // 58.375
    PrintAmdTemperatures(info);
    EXPECT_EQ(machine->output,
              "Support AMD TTP : Oui\n"
              "Tcore0 = 58.1\xF8" "C\n"
              "Tcore1 = 58.4\xF8" "C\n");
}

TEST_F(TemperatureReportTest, AmdFormsWithoutReadings) {
    const struct {
        const char* name;
        uint8_t amdThermal;
        uint8_t driverStatus;
        const char* output;
    } cases[] = {{"NoSensor", 0, 0, "Support AMD TTP : Non\n"},
                 {"LibraryNotReady", 1, 3, "Support AMD TTP : Oui\nTcore0 = Invalide\nTcore1 = Invalide\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSystemInfo& info = ReadyRecord(2, 2);
        info.amdThermal = c.amdThermal;
        info.driverStatus = c.driverStatus;
        PrintAmdTemperatures(info);
        EXPECT_EQ(machine->output, c.output);
    }
}

// The CCDs' lines come after the processors', one each; with several packages
// each says its package, in the report's words for one.
TEST_F(TemperatureReportTest, EachCcdHasALineAfterTheProcessors) {
    TemperatureReadings readings;
    readings.sensor = true;
    readings.celsius = {50.0, 60.0};
    readings.ccds = {{0, 1, 41.0}, {0, 3, std::nullopt}, {1, 1, 51.0}};
    const struct {
        const char* name;
        uint16_t packageCount;
        const char* ccdLines;
    } cases[] = {
        {"OnePackage", 1, "Tccd1 = 41.0\xF8" "C\nTccd3 = Invalide\nTccd1 = 51.0\xF8" "C\n"},
        {"TwoPackages", 2,
         "Tccd1 (processeur physique 0) = 41.0\xF8" "C\n"
         "Tccd3 (processeur physique 0) = Invalide\n"
         "Tccd1 (processeur physique 1) = 51.0\xF8" "C\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSystemInfo& info = ReadyRecord(2, 2);
        info.amdThermal = 1;
        info.packageCount = c.packageCount;
        PrintTemperatures(info, readings);
        const std::string processorLines = "Support AMD TTP : Oui\nTcore0 = 50.0\xF8" "C\nTcore1 = 60.0\xF8" "C\n";
        EXPECT_EQ(machine->output, processorLines + c.ccdLines);
    }
}

TEST_F(TemperatureReportTest, TheSectionFollowsTheVendorAfterItsWait) {
    const struct {
        uint8_t vendor;
        const char* output;
    } cases[] = {{0, ""}, {3, ""}, {1, "Support Intel DTS : Non\n"}, {2, "Support AMD TTP : Non\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vendor);
        CSystemInfo& info = ReadyRecord(c.vendor, 1);
        PrintTemperatureSection(info);
        EXPECT_EQ(machine->output, c.output);
        EXPECT_EQ(machine->sleeps, (std::vector<DWORD>{1200}));
    }
}

// A recorded Intel processor whose dump has no thermal-status register: the
// section still prints Tj(max), and every reading is invalid, not Tj(max).
TEST_F(TemperatureReportTest, IntelWithoutAThermalStatusRegisterPrintsInvalidLines) {
    MachineFromDump("GenuineIntel00106A4_Bloomfield_CPUID.txt");
    for (sim::Processor& p : machine->processors) p.failingMsrs.insert(kThermalStatus);

    EXPECT_EQ(RunWholeProgram(), 0);

    const std::string& out = machine->output;
    const size_t section = out.find("Support Intel DTS : Oui\n");
    ASSERT_NE(section, std::string::npos) << out;
    std::string expected = "Support Intel DTS : Oui\nTj(Max) = 100\xF8" "C\n";
    for (int i = 0; i < 8; ++i) expected += "Tcore" + std::to_string(i) + " = Invalide\n";
    EXPECT_EQ(out.substr(section), expected);
}

}  // namespace
