// Thermal sensors: the support flags, Tj(max), the pinned Intel reading thread
// and the AMD northbridge registers.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/report.h"
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
    EXPECT_EQ(info.temperatureSource, hw::TemperatureSource::kMsr);
}

// The register's valid bit cleared: the readout bits are stale.
uint64_t NotValid(uint64_t status) {
    return status & ~uint64_t{0x80000000u};
}

TEST_F(ThermalTest, IntelReadoutCountsDownFromTjMaxOnlyWhenValid) {
    const struct {
        const char* name;
        uint8_t tjMax;
        std::optional<uint64_t> status;  // none: the read fails
        std::optional<double> temperature;  // none: no reading
    } cases[] = {{"Readout53", 100, ThermalStatus(53), 47.0},
                 {"ReadoutAboveTjMax", 90, ThermalStatus(100), -10.0},
                 {"ReadoutZero", 85, ThermalStatus(0), 85.0},
                 {"WidestReadout", 100, ThermalStatus(127), -27.0},
                 {"ValidBitClear", 100, NotValid(ThermalStatus(53)), std::nullopt},
                 {"ValidBitClearReadoutZero", 100, NotValid(ThermalStatus(0)), std::nullopt},
                 {"ReadFails", 85, std::nullopt, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSystemInfo& info = IntelWithSensor(1, c.tjMax);
        if (c.status) {
            machine->Cpu(0).msrs[kThermalStatus] = *c.status;
        } else {
            machine->Cpu(0).failingMsrs.insert(kThermalStatus);
        }
        double t = kUntouched;
        EXPECT_EQ(info.ReadIntelTemperature(0, &t), c.temperature ? 1 : 0);
        EXPECT_EQ(t, c.temperature.value_or(kUntouched));
        EXPECT_TRUE(machine->threads.at(0)->closed);
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

// Where each generation keeps its temperature.
enum class Sensor {
    kK8,           // device 0x18 function 3, register 0xE4
    kNorthbridge,  // device 0x18 function 3, register 0xA4
    kNbIndex,      // root complex pair 0xB8/0xBC, address 0xD8200CA4
    kSmn,          // root complex pair 0x60/0x64, SMN 0x00059800 (Tctl)
};

// Every place a reader could look holds this (255.75 on the common scale), so
// a reader that looks in the wrong place prints it, or something near it.
constexpr DWORD kDecoy = 0x7FE00000;

void PutSensorValue(sim::Machine& m, Sensor sensor, DWORD value) {
    switch (sensor) {
        case Sensor::kK8: m.library.pciRegisters[{0x18, 3, 0xE4}] = value; break;
        case Sensor::kNorthbridge: m.library.pciRegisters[{0x18, 3, 0xA4}] = value; break;
        case Sensor::kNbIndex: m.library.indexedRegisters[{0xB8, 0xD8200CA4}] = value; break;
        case Sensor::kSmn: m.library.indexedRegisters[{0x60, 0x00059800}] = value; break;
    }
}

void PutDecoysAndValue(sim::Machine& m, Sensor sensor, DWORD value) {
    for (Sensor other : {Sensor::kK8, Sensor::kNorthbridge, Sensor::kNbIndex, Sensor::kSmn}) {
        PutSensorValue(m, other, kDecoy);
    }
    PutSensorValue(m, sensor, value);
}

// Bits 31:21 of a reported temperature, in eighths of a degree.
constexpr DWORD Eighths(uint32_t eighths) {
    return eighths << 21;
}
constexpr DWORD kLowRange = 0x00030000;     // bits 17:16 both set
constexpr DWORD kZenLowRange = 0x00080000;  // bit 19
constexpr DWORD kNoDevice = 0xFFFFFFFF;
constexpr DWORD k58_125 = Eighths(465);     // 58.125

struct AmdSensorCase {
    const char* name;
    uint8_t family;
    uint8_t model;
    uint8_t extModel;
    const char* brand;
    Sensor sensor;
    DWORD value;
    const char* line;
};

class AmdSensorTest : public ThermalTest, public ::testing::WithParamInterface<AmdSensorCase> {};

TEST_P(AmdSensorTest, ReadsTheSensorOfTheFamilyAndPrintsTheDieTemperature) {
    const AmdSensorCase& c = GetParam();
    CSystemInfo& info = AmdWithSensor(1);
    info.family = c.family;
    info.extFamily = static_cast<uint8_t>(c.family >= 0x10 ? c.family - 0x0F : 0);
    info.model = c.model;
    info.extModel = c.extModel;
    // Terminated, whatever the length of the brand.
    std::snprintf(info.brand, sizeof info.brand, "%s", c.brand);
    PutDecoysAndValue(*machine, c.sensor, c.value);

    PrintAmdTemperatures(info);

    EXPECT_EQ(machine->output, std::string("Support AMD TTP : Oui\n") + c.line + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, AmdSensorTest,
    ::testing::Values(
        AmdSensorCase{"K8Whole", 0x0F, 0x4B, 4, "", Sensor::kK8, 0x00500000, "Tcore0 = 31.0\xF8" "C"},
        AmdSensorCase{"K8QuarterDegrees", 0x0F, 0x6B, 6, "", Sensor::kK8, 0x00518000, "Tcore0 = 32.5\xF8" "C"},
        // A second K8 node that does not exist: nothing answers.
        AmdSensorCase{"K8NoDevice", 0x0F, 0x4B, 4, "", Sensor::kK8, kNoDevice, "Tcore0 = Invalide"},
        AmdSensorCase{"Family10", 0x10, 0x04, 0, "", Sensor::kNorthbridge, k58_125, "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Family10LowRange", 0x10, 0x04, 0, "", Sensor::kNorthbridge, k58_125 | kLowRange,
                      "Tcore0 = 9.1\xF8" "C"},
        AmdSensorCase{"Family10OneRangeBitOnly", 0x10, 0x04, 0, "", Sensor::kNorthbridge, k58_125 | 0x00020000,
                      "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Family10Bit19MeansNothing", 0x10, 0x04, 0, "", Sensor::kNorthbridge, k58_125 | kZenLowRange,
                      "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Family10NoDevice", 0x10, 0x04, 0, "", Sensor::kNorthbridge, kNoDevice, "Tcore0 = Invalide"},
        AmdSensorCase{"Family15Model01", 0x15, 0x01, 0, "", Sensor::kNorthbridge, k58_125, "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Family15Model30", 0x15, 0x30, 3, "", Sensor::kNorthbridge, k58_125, "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Family15Model60LowRange", 0x15, 0x60, 6, "", Sensor::kNbIndex, k58_125 | kLowRange,
                      "Tcore0 = 9.1\xF8" "C"},
        AmdSensorCase{"Family15Model7F", 0x15, 0x7F, 7, "", Sensor::kNbIndex, k58_125, "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Family15Model60NoDevice", 0x15, 0x60, 6, "", Sensor::kNbIndex, kNoDevice, "Tcore0 = Invalide"},
        AmdSensorCase{"Family16", 0x16, 0x00, 0, "", Sensor::kNorthbridge, k58_125, "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Ryzen1700XLowRange", 0x17, 0x01, 0, "AMD Ryzen 7 1700X Eight-Core Processor", Sensor::kSmn,
                      Eighths(945) | kZenLowRange, "Tcore0 = 49.1\xF8" "C"},
        AmdSensorCase{"Ryzen1600X", 0x17, 0x01, 0, "AMD Ryzen 5 1600X Six-Core Processor", Sensor::kSmn, k58_125,
                      "Tcore0 = 38.1\xF8" "C"},
        AmdSensorCase{"Ryzen1800X", 0x17, 0x01, 0, "AMD Ryzen 7 1800X Eight-Core Processor", Sensor::kSmn, k58_125,
                      "Tcore0 = 38.1\xF8" "C"},
        AmdSensorCase{"Ryzen1700", 0x17, 0x01, 0, "AMD Ryzen 7 1700 Eight-Core Processor", Sensor::kSmn, k58_125,
                      "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Ryzen2700X", 0x17, 0x08, 0, "AMD Ryzen 7 2700X Eight-Core Processor", Sensor::kSmn, k58_125,
                      "Tcore0 = 48.1\xF8" "C"},
        AmdSensorCase{"Ryzen2700", 0x17, 0x08, 0, "AMD Ryzen 7 2700 Eight-Core Processor", Sensor::kSmn, k58_125,
                      "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Threadripper1950X", 0x17, 0x01, 0, "AMD Ryzen Threadripper 1950X 16-Core Processor",
                      Sensor::kSmn, k58_125, "Tcore0 = 31.1\xF8" "C"},
        AmdSensorCase{"Threadripper2990WX", 0x17, 0x08, 0, "AMD Ryzen Threadripper 2990WX 32-Core Processor",
                      Sensor::kSmn, k58_125, "Tcore0 = 31.1\xF8" "C"},
        AmdSensorCase{"Threadripper3960X", 0x17, 0x31, 3, "AMD Ryzen Threadripper 3960X 24-Core Processor",
                      Sensor::kSmn, k58_125, "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"EpycRangeBits1716", 0x17, 0x01, 0, "AMD EPYC 7601 32-Core Processor", Sensor::kSmn,
                      k58_125 | kLowRange, "Tcore0 = 9.1\xF8" "C"},
        AmdSensorCase{"Family19", 0x19, 0x21, 2, "AMD Ryzen 9 5900X 12-Core Processor", Sensor::kSmn, k58_125,
                      "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"Family1A", 0x1A, 0x24, 2, "AMD Ryzen AI 9 HX 370 w/ Radeon 890M", Sensor::kSmn, k58_125,
                      "Tcore0 = 58.1\xF8" "C"},
        AmdSensorCase{"ZenNoDevice", 0x19, 0x21, 2, "AMD Ryzen 9 5900X 12-Core Processor", Sensor::kSmn, kNoDevice,
                      "Tcore0 = Invalide"}),
    case_names::ByName{});

// Zen's Tctl belongs to the package, and only package 0's root complex is on bus 0.
TEST_F(ThermalTest, ZenPrintsPackageZerosTctlForItsProcessorsOnly) {
    CSystemInfo& info = AmdWithSensor(4);
    info.family = 0x17;
    info.extFamily = 0x08;
    info.model = 0x31;
    const uint8_t packages[4] = {0, 0, 1, 1};
    for (int i = 0; i < 4; ++i) info.processors[i].apic.packageId = packages[i];
    PutDecoysAndValue(*machine, Sensor::kSmn, k58_125);

    PrintAmdTemperatures(info);

    EXPECT_EQ(machine->output,
              "Support AMD TTP : Oui\n"
              "Tcore0 = 58.1\xF8" "C\n"
              "Tcore1 = 58.1\xF8" "C\n"
              "Tcore2 = Invalide\n"
              "Tcore3 = Invalide\n");
    EXPECT_EQ(machine->library.portReads.size(), 2u);  // package 1 touched no port
}

// The index register gets the SMN address; Tctl is then read from the data
// register, and nothing is ever written there.
TEST_F(ThermalTest, ZenReachesTctlThroughTheRootComplexPair) {
    CSystemInfo& info = AmdWithSensor(1);
    info.family = 0x19;
    info.extFamily = 0x0A;
    PutDecoysAndValue(*machine, Sensor::kSmn, k58_125);

    double t = kUntouched;
    ASSERT_EQ(info.ReadAmdTemperature(0, &t), 1);

    EXPECT_EQ(t, 58.125);
    EXPECT_EQ(machine->library.portWrites, (PortWrites{{0xCF8, 0x80000060}, {0xCFC, 0x00059800}, {0xCF8, 0x80000064}}));
    EXPECT_EQ(machine->library.portReads, (std::vector<WORD>{0xCFC}));
    EXPECT_EQ(info.temperatureSource, hw::TemperatureSource::kPciRegisters);
}

struct AmdAddressCase {
    const char* name;
    uint8_t extFamily;
    uint8_t packageId;
    uint8_t coreId;
    uint8_t coresPerPackage;
    DWORD address;
    std::optional<DWORD> selection;  // none: the register is only read
};

class AmdAddressTest : public ThermalTest, public ::testing::WithParamInterface<AmdAddressCase> {};

TEST_P(AmdAddressTest, AddressesTheNodeAndSelectsTheCore) {
    const AmdAddressCase& c = GetParam();
    CSystemInfo& info = AmdWithSensor(2);
    info.extFamily = c.extFamily;
    info.family = static_cast<uint8_t>(0x0F + c.extFamily);
    info.coresPerPackage = c.coresPerPackage;
    info.processors[1].apic.packageId = c.packageId;
    info.processors[1].apic.coreId = c.coreId;
    machine->library.pciRegisters[{static_cast<int>((c.address >> 11) & 0x1F), 3, static_cast<int>(c.address & 0xFC)}] =
        0x00500000;
    machine->library.calls.clear();

    double t = kUntouched;
    EXPECT_EQ(info.ReadAmdTemperature(1, &t), 1);

    PortWrites writes{{0xCF8, c.address}};
    if (c.selection) writes.emplace_back(0xCFC, *c.selection);
    EXPECT_EQ(machine->library.portWrites, writes);
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
                      // Its low bits are the sensor's settings: never written.
                      AmdAddressCase{"ExtendedFamily", 1, 0, 0, 2, 0x8000C3A4, std::nullopt},
                      AmdAddressCase{"ExtendedFamilySecondPackage", 1, 1, 1, 4, 0x8000CBA4, std::nullopt}),
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
        info.processors[0].apic.packageId = c.packageId;
        machine->library.calls.clear();
        double t = kUntouched;
        EXPECT_EQ(info.ReadAmdTemperature(c.cpu, &t), 0);
        EXPECT_EQ(t, kUntouched);
        EXPECT_TRUE(machine->library.calls.empty());
    }
}

// Makes a two-processor AMD record one whose sensor is in `sensor`, holding a reading.
void AmdOn(CSystemInfo& info, sim::Machine& m, Sensor sensor) {
    switch (sensor) {
        case Sensor::kK8: info.family = 0x0F; break;
        case Sensor::kNorthbridge: info.family = 0x10; break;
        case Sensor::kNbIndex: info.family = 0x15; info.model = 0x60; break;
        case Sensor::kSmn: info.family = 0x17; break;
    }
    info.extFamily = static_cast<uint8_t>(info.family >= 0x10 ? info.family - 0x0F : 0);
    info.coresPerPackage = 2;
    info.processors[1].apic.coreId = 1;
    PutDecoysAndValue(m, sensor, sensor == Sensor::kK8 ? 0x00500000 : k58_125);
}

const char* SensorName(Sensor sensor) {
    switch (sensor) {
        case Sensor::kK8: return "K8";
        case Sensor::kNorthbridge: return "Northbridge";
        case Sensor::kNbIndex: return "NbIndex";
        case Sensor::kSmn: return "Smn";
    }
    return "?";
}

TEST_F(ThermalTest, EveryPortPairIsMadeUnderTheSharedPciMutex) {
    for (Sensor sensor : {Sensor::kK8, Sensor::kNorthbridge, Sensor::kNbIndex, Sensor::kSmn}) {
        SCOPED_TRACE(SensorName(sensor));
        CSystemInfo& info = AmdWithSensor(2);
        AmdOn(info, *machine, sensor);

        PrintAmdTemperatures(info);

        EXPECT_EQ(machine->output.find("Invalide"), std::string::npos) << machine->output;
        EXPECT_GT(machine->library.portAccessesUnderMutex, 0);
        EXPECT_EQ(machine->library.portAccessesWithoutMutex, 0);
        // Taken and given back once per reading, every handle closed.
        EXPECT_EQ(machine->pciMutex.releases, 2);
        EXPECT_FALSE(machine->pciMutex.heldByProgram);
        EXPECT_EQ(machine->pciMutex.openHandles, 0);
        for (const std::string& name : machine->pciMutex.names) EXPECT_EQ(name, "Global\\Access_PCI");
    }
}

void HeldByAnotherProgram(sim::Machine& m) {
    m.pciMutex.state = sim::NamedMutex::State::kHeldByAnotherProgram;
}
void AbandonedByItsOwner(sim::Machine& m) {
    m.pciMutex.state = sim::NamedMutex::State::kAbandoned;
}
void NoHandleToIt(sim::Machine& m) {
    m.pciMutex.refuseHandles = true;
}

TEST_F(ThermalTest, AMutexThatCannotBeHadGivesNoReadingAndLeavesThePortsAlone) {
    const struct {
        const char* name;
        void (*arrange)(sim::Machine&);
        bool reads;
    } cases[] = {{"HeldByAnotherProgram", HeldByAnotherProgram, false},
                 {"NoHandleToIt", NoHandleToIt, false},
                 // Its owner ended without releasing it: the waiter owns it and goes on.
                 {"AbandonedByItsOwner", AbandonedByItsOwner, true}};
    for (const auto& c : cases) {
        for (Sensor sensor : {Sensor::kK8, Sensor::kNorthbridge, Sensor::kNbIndex, Sensor::kSmn}) {
            SCOPED_TRACE(std::string(c.name) + " " + SensorName(sensor));
            CSystemInfo& info = AmdWithSensor(2);
        AmdOn(info, *machine, sensor);
            c.arrange(*machine);

            double t = kUntouched;
            EXPECT_EQ(info.ReadAmdTemperature(0, &t), c.reads ? 1 : 0);

            EXPECT_EQ(t == kUntouched, !c.reads);
            EXPECT_EQ(machine->library.portWrites.empty() && machine->library.portReads.empty(), !c.reads);
            EXPECT_EQ(machine->library.portAccessesWithoutMutex, 0);
            EXPECT_FALSE(machine->pciMutex.heldByProgram);
            EXPECT_EQ(machine->pciMutex.openHandles, 0);
            // The wait is bounded: another program's hold never stalls the report for good.
            for (DWORD wait : machine->pciMutex.waits) EXPECT_LE(wait, 1000u);
        }
    }
}

}  // namespace
