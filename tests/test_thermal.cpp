// Thermal sensors: the support flags, Tj(max), the pinned Intel reading thread
// and the AMD northbridge registers.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "case_names.h"
#include "hwaccess/ols_library.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

using MsrList = std::vector<DWORD>;
using PortWrites = std::vector<std::pair<WORD, DWORD>>;

constexpr uint32_t kThermalStatus = 0x19C;
constexpr double kUntouched = -1234.5;

// Thermal status with the readout in bits 22 to 16, and other bits set that must not count.
uint64_t ThermalStatus(uint32_t readout) {
    return 0xFFFFFFFF00000000ull | 0x80000000u | 0x00800000u | (readout << 16) | 0xFFFFu;
}

class ThermalTest : public SimTest {
protected:
    // An Intel record whose sensor is already detected.
    CSystemInfo& IntelWithSensor(int processors, uint8_t tjMax) {
        CSystemInfo& info = ReadyRecord(1, processors);
        info.intelDts = 1;
        info.tjMax = tjMax;
        return info;
    }

    CSystemInfo& AmdWithSensor(int processors) {
        CSystemInfo& info = ReadyRecord(2, processors);
        info.amdThermal = 1;
        return info;
    }
};

struct TjMaxCase {
    const char* name;
    uint8_t family;
    uint8_t model;
    uint8_t extModel;
    uint8_t stepping;
    uint8_t cores;
    int64_t targetMsr;  // low half of MSR 0x1A2; -1: the read fails
    uint8_t tjMax;
    MsrList reads;
};

class TjMaxTest : public ThermalTest, public ::testing::WithParamInterface<TjMaxCase> {};

TEST_P(TjMaxTest, FixesTheLimitByModelSteppingAndCores) {
    const TjMaxCase& c = GetParam();
    CSystemInfo& info = ReadyRecord(1);
    machine->Cpu(0).Set(6, {1, 2, 0, 0});
    if (c.targetMsr >= 0) machine->Cpu(0).msrs[0x1A2] = 0xAB00000000000000ull | static_cast<uint32_t>(c.targetMsr);
    info.family = c.family;
    info.model = c.model;
    info.extModel = c.extModel;
    info.stepping = c.stepping;
    info.coresPerPackage = c.cores;

    info.DetectThermal();

    EXPECT_EQ(info.tjMax, c.tjMax);
    EXPECT_EQ(info.intelDts, c.tjMax != 0 ? 1 : 0);
    EXPECT_EQ(info.amdThermal, 0);
    EXPECT_EQ(machine->library.msrReads, c.reads);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TjMaxTest,
    ::testing::Values(TjMaxCase{"Model15Stepping9TwoCores", 6, 15, 0, 9, 2, 0, 90, {}},
                      TjMaxCase{"Model15Stepping8TwoCores", 6, 15, 0, 8, 2, 0, 80, {}},
                      TjMaxCase{"Model15Stepping8FourCores", 6, 15, 0, 8, 4, 0, 90, {}},
                      TjMaxCase{"Model15Stepping8OneCore", 6, 15, 0, 8, 1, 0, 75, {}},
                      TjMaxCase{"Model15Stepping11OneCore", 6, 15, 0, 11, 1, 0, 85, {}},
                      TjMaxCase{"Model23", 6, 23, 1, 6, 2, 0x00280000, 100, {}},
                      TjMaxCase{"Model23Stepping10", 6, 23, 1, 10, 4, 0x00280000, 100, {}},
                      TjMaxCase{"Model28Stepping10", 6, 28, 1, 10, 1, 0x00280000, 100, {}},
                      TjMaxCase{"Model28Stepping2", 6, 28, 1, 2, 1, 0x00280000, 90, {}},
                      TjMaxCase{"OtherModelNoExtendedModel", 6, 14, 0, 8, 2, 0x00280000, 90, {}},
                      TjMaxCase{"ExtendedModelReportsTarget", 6, 0x1A, 1, 5, 4, 0x00280000, 40, {0x1A2}},
                      TjMaxCase{"ExtendedModelZeroTarget", 6, 0x9E, 9, 9, 4, 0xFF00FFFF, 100, {0x1A2}},
                      TjMaxCase{"ExtendedModelTargetUnreadable", 6, 0x2A, 2, 7, 4, -1, 100, {0x1A2}},
                      TjMaxCase{"Family15", 15, 4, 0, 1, 1, 0x00280000, 0, {}}),
    case_names::ByName{});

struct SupportCase {
    const char* name;
    uint8_t vendor;
    uint32_t leaf6Eax;
    uint32_t leaf6Ebx;
    uint32_t ext7Edx;
    uint8_t intelDts;
    uint8_t amdThermal;
};

class SensorSupportTest : public ThermalTest, public ::testing::WithParamInterface<SupportCase> {};

TEST_P(SensorSupportTest, SetsAtMostTheFlagOfTheVendor) {
    const SupportCase& c = GetParam();
    CSystemInfo& info = ReadyRecord(c.vendor);
    machine->Cpu(0).Set(6, {c.leaf6Eax, c.leaf6Ebx, 0, 0});
    machine->Cpu(0).Set(0x80000007, {0, 0, 0, c.ext7Edx});
    info.family = 6;
    info.model = 15;
    info.coresPerPackage = 2;

    info.DetectThermal();

    EXPECT_EQ(info.intelDts, c.intelDts);
    EXPECT_EQ(info.amdThermal, c.amdThermal);
    EXPECT_EQ(info.tjMax, c.intelDts ? 80 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SensorSupportTest,
    ::testing::Values(SupportCase{"IntelSensor", 1, 1, 1, 8, 1, 0},
                      SupportCase{"IntelNoSensorBit", 1, 0xFFFFFFFE, 0xF, 8, 0, 0},
                      SupportCase{"IntelNoThresholds", 1, 1, 0xFFFFFFF0, 8, 0, 0},
                      SupportCase{"AmdTripPoint", 2, 1, 1, 8, 0, 1},
                      SupportCase{"AmdNoTripPoint", 2, 1, 1, 0xFFFFFFF7, 0, 0},
                      SupportCase{"OtherVendor", 0, 1, 1, 8, 0, 0}),
    case_names::ByName{});

TEST_F(ThermalTest, IntelReadingRunsOnAThreadPinnedToTheProcessor) {
    CSystemInfo& info = IntelWithSensor(4, 100);
    for (int cpu = 0; cpu < 4; ++cpu) machine->Cpu(cpu).msrs[kThermalStatus] = ThermalStatus(50 + cpu);

    double t = kUntouched;
    ASSERT_EQ(info.ReadIntelTemperature(2, &t), 1);

    EXPECT_EQ(t, 48.0);
    ASSERT_EQ(machine->threads.size(), 1u);
    const sim::ThreadRecord& thread = *machine->threads[0];
    EXPECT_EQ(thread.flags, static_cast<DWORD>(CREATE_SUSPENDED));
    EXPECT_EQ(thread.affinity, 4u);
    EXPECT_EQ(thread.priority, THREAD_PRIORITY_ABOVE_NORMAL);
    EXPECT_EQ(thread.processor, 2);
    EXPECT_EQ(thread.waits, (std::vector<DWORD>{600}));
    EXPECT_TRUE(thread.closed);
    EXPECT_EQ(machine->library.msrReads, (MsrList{kThermalStatus}));
}

TEST_F(ThermalTest, IntelReadoutCountsDownFromTjMax) {
    const struct {
        uint8_t tjMax;
        bool readFails;
        uint32_t readout;
        double temperature;
    } cases[] = {{100, false, 53, 47.0}, {90, false, 100, -10.0}, {85, false, 0, 85.0}, {85, true, 53, 85.0},
                 {100, false, 127, -27.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.readout);
        CSystemInfo& info = IntelWithSensor(1, c.tjMax);
        machine->Cpu(0).msrs[kThermalStatus] = ThermalStatus(c.readout);
        if (c.readFails) machine->Cpu(0).failingMsrs.insert(kThermalStatus);
        double t = kUntouched;
        EXPECT_EQ(info.ReadIntelTemperature(0, &t), 1);
        EXPECT_EQ(t, c.temperature);
    }
}

TEST_F(ThermalTest, IntelReadingRefusesBeforeTouchingAnything) {
    const struct {
        const char* name;
        int cpu;
        uint8_t driverStatus;
        uint8_t intelDts;
    } cases[] = {{"NegativeIndex", -1, 0, 1}, {"IndexIsTheCount", 2, 0, 1}, {"LibraryNotReady", 0, 3, 1},
                 {"NoSensor", 0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSystemInfo& info = IntelWithSensor(2, 100);
        info.driverStatus = c.driverStatus;
        info.intelDts = c.intelDts;
        machine->library.calls.clear();
        double t = kUntouched;
        EXPECT_EQ(info.ReadIntelTemperature(c.cpu, &t), 0);
        EXPECT_EQ(t, kUntouched);
        EXPECT_TRUE(machine->threads.empty());
        EXPECT_TRUE(machine->library.calls.empty());
    }
}

struct ThreadFailureCase {
    const char* name;
    sim::ThreadFaults faults;
    bool routineRuns;  // only a timed-out thread still runs, late
};

class ThreadFailureTest : public ThermalTest, public ::testing::WithParamInterface<ThreadFailureCase> {};

TEST_P(ThreadFailureTest, ClosesTheHandleAndGivesNoReading) {
    const ThreadFailureCase& c = GetParam();
    CSystemInfo& info = IntelWithSensor(2, 100);
    machine->threadFaults = c.faults;
    machine->Cpu(1).msrs[kThermalStatus] = ThermalStatus(40);

    double t = kUntouched;
    EXPECT_EQ(info.ReadIntelTemperature(1, &t), 0);

    EXPECT_EQ(t, kUntouched);
    ASSERT_EQ(machine->threads.size(), c.faults.failCreate ? 0u : 1u);
    for (const auto& thread : machine->threads) {
        EXPECT_TRUE(thread->closed);
        EXPECT_EQ(thread->finished, c.routineRuns);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ThreadFailureTest,
    ::testing::Values(ThreadFailureCase{"Create", {true, false, false, false, false, false}, false},
                      ThreadFailureCase{"Affinity", {false, true, false, false, false, false}, false},
                      ThreadFailureCase{"Priority", {false, false, true, false, false, false}, false},
                      ThreadFailureCase{"Resume", {false, false, false, true, false, false}, false},
                      ThreadFailureCase{"TimeOut", {false, false, false, false, true, false}, true}),
    case_names::ByName{});

// The first thread times out and writes only while the second call waits for
// its own thread; the second call must still get its own processor's reading.
TEST_F(ThermalTest, ALateThreadNeverGivesALaterCallItsReading) {
    CSystemInfo& info = IntelWithSensor(2, 100);
    machine->Cpu(0).msrs[kThermalStatus] = ThermalStatus(10);
    machine->Cpu(1).msrs[kThermalStatus] = ThermalStatus(60);
    machine->threadFaults.finishAfterTimeout = true;
    machine->threadFaults.finishDuringNextWait = true;

    double first = kUntouched;
    EXPECT_EQ(info.ReadIntelTemperature(0, &first), 0);
    EXPECT_FALSE(machine->threads[0]->finished);

    machine->threadFaults.finishAfterTimeout = false;
    double second = kUntouched;
    EXPECT_EQ(info.ReadIntelTemperature(1, &second), 1);

    EXPECT_TRUE(machine->threads[0]->finished);  // it did write, during the second wait
    EXPECT_EQ(first, kUntouched);
    EXPECT_EQ(second, 40.0);
}

struct AmdFormulaCase {
    const char* name;
    uint8_t extFamily;
    uint8_t extModel;
    DWORD value;
    double temperature;
};

class AmdFormulaTest : public ThermalTest, public ::testing::WithParamInterface<AmdFormulaCase> {};

TEST_P(AmdFormulaTest, DecodesTheNorthbridgeTemperature) {
    const AmdFormulaCase& c = GetParam();
    CSystemInfo& info = AmdWithSensor(1);
    info.extFamily = c.extFamily;
    info.extModel = c.extModel;
    const int reg = c.extFamily == 0 ? 0xE4 : 0xA4;
    machine->library.pciRegisters[{0x18, 3, reg}] = c.value;

    double t = kUntouched;
    ASSERT_EQ(info.ReadAmdTemperature(0, &t), 1);
    EXPECT_EQ(t, c.temperature);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AmdFormulaTest,
    ::testing::Values(AmdFormulaCase{"EightBitReading", 0, 4, 0x00500000, 31.0},
                      AmdFormulaCase{"EightBitIgnoresLowBits", 0, 5, 0x00514000, 32.0},
                      AmdFormulaCase{"QuarterDegreesModel6", 0, 6, 0x00514000, 32.25},
                      AmdFormulaCase{"QuarterDegreesModel7", 0, 7, 0x00514000, 32.25},
                      AmdFormulaCase{"EightBitAfterModel7", 0, 8, 0x00514000, 32.0},
                      AmdFormulaCase{"BelowZero", 0, 4, 0x00100000, -33.0},
                      AmdFormulaCase{"EighthDegrees", 1, 0, 0x3A400000, 58.25},
                      AmdFormulaCase{"EighthDegreesIgnoreLowBits", 6, 1, 0x3A5FFFFF, 58.25}),
    case_names::ByName{});

struct AmdAddressCase {
    const char* name;
    uint8_t extFamily;
    uint8_t packageId;
    uint8_t coreId;
    uint8_t coresPerPackage;
    DWORD address;
    DWORD selection;
};

class AmdAddressTest : public ThermalTest, public ::testing::WithParamInterface<AmdAddressCase> {};

TEST_P(AmdAddressTest, AddressesTheNodeAndSelectsTheCore) {
    const AmdAddressCase& c = GetParam();
    CSystemInfo& info = AmdWithSensor(2);
    info.extFamily = c.extFamily;
    info.coresPerPackage = c.coresPerPackage;
    info.apicTable[1].packageId = c.packageId;
    info.apicTable[1].coreId = c.coreId;
    machine->library.calls.clear();

    double t = kUntouched;
    EXPECT_EQ(info.ReadAmdTemperature(1, &t), 1);

    EXPECT_EQ(machine->library.portWrites, (PortWrites{{0xCF8, c.address}, {0xCFC, c.selection}}));
    EXPECT_EQ(machine->library.portReads, (std::vector<WORD>{0xCFC}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, AmdAddressTest,
    ::testing::Values(AmdAddressCase{"DualCoreFirstCore", 0, 0, 0, 2, 0x8000C3E4, 4},
                      AmdAddressCase{"DualCoreSecondCore", 0, 0, 1, 2, 0x8000C3E4, 0},
                      AmdAddressCase{"SecondPackage", 0, 1, 0, 2, 0x8000CBE4, 4},
                      AmdAddressCase{"EighthPackage", 0, 7, 0, 1, 0x8000FBE4, 0},
                      AmdAddressCase{"SingleCore", 0, 0, 0, 1, 0x8000C3E4, 0},
                      AmdAddressCase{"QuadCore", 0, 0, 0, 4, 0x8000C3E4, 0},
                      AmdAddressCase{"ExtendedFamily", 1, 0, 0, 2, 0x8000C3A4, 0},
                      AmdAddressCase{"ExtendedFamilySecondPackage", 1, 1, 1, 4, 0x8000CBA4, 0}),
    case_names::ByName{});

TEST_F(ThermalTest, AmdReadingRefusesBeforeTouchingAnyDevice) {
    const struct {
        const char* name;
        int cpu;
        uint8_t driverStatus;
        uint8_t amdThermal;
        uint8_t packageId;
    } cases[] = {{"NegativeIndex", -1, 0, 1, 0},   {"IndexIsTheCount", 2, 0, 1, 0},
                 {"LibraryNotReady", 0, 3, 1, 0}, {"NoSensor", 0, 0, 0, 0},
                 {"NinthPackage", 0, 0, 1, 8},    {"LastPackageNumber", 0, 0, 1, 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSystemInfo& info = AmdWithSensor(2);
        info.driverStatus = c.driverStatus;
        info.amdThermal = c.amdThermal;
        info.apicTable[0].packageId = c.packageId;
        machine->library.calls.clear();
        double t = kUntouched;
        EXPECT_EQ(info.ReadAmdTemperature(c.cpu, &t), 0);
        EXPECT_EQ(t, kUntouched);
        EXPECT_TRUE(machine->library.calls.empty());
    }
}

}  // namespace
