// Clock measurement: the timer period, the constant-rate and performance-counter
// rules, the multipliers, the four methods and which frequency is retained.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "case_names.h"
#include "hwaccess/ols_library.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

using Strings = std::vector<std::string>;
using MsrList = std::vector<DWORD>;

constexpr uint32_t kAperf = 0xE8;
constexpr uint32_t kPerfStatus = 0x198;
constexpr uint64_t kHigh = uint64_t{1} << 32;

// Multipliers 12 (maximum, in the high half) and 9 (current, in the low half).
constexpr uint64_t kPerfStatus12And9 = 0x0C00 * kHigh + 0x80000900u;

// The vendor number the identification pass gives each vendor string.
uint8_t VendorNumber(const std::string& vendor12) {
    if (vendor12 == "GenuineIntel") return kVendorIntel;
    if (vendor12 == "AuthenticAMD") return kVendorAmd;
    return kVendorOther;
}

// Leaf 0 naming the maker: the vendor string in EBX, EDX, ECX, four characters each.
void SetVendorString(sim::Processor& cpu, const std::string& vendor12) {
    const auto word = [&vendor12](size_t at) {
        uint32_t value = 0;
        for (size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<uint8_t>(vendor12.at(at + i));
        return value;
    };
    cpu.Set(0, {1, word(0), word(8), word(4)});
}

constexpr uint32_t kInvariantCounter = 0x100;  // 0x80000007 EDX bit 8

struct Signature {
    const char* vendor12;
    uint8_t family;
    uint8_t model;
    uint32_t extLeaf7Edx;  // 0x80000007 EDX
};

class ClockTest : public SimTest {
protected:
    // A record of the given vendor and signature, with the library bound and
    // ready when `library` holds; the calls made while binding are forgotten.
    CSystemInfo& Processor(uint8_t vendor, uint8_t family, uint8_t model, uint8_t extModel, bool library = true) {
        CSystemInfo& info = Record();
        info.vendor = vendor;
        info.family = family;
        info.model = model;
        info.extModel = extModel;
        if (library) {
            ols::LoadDriver(&info.driverModule);
            info.driverStatus = 0;
        }
        machine->library.calls.clear();
        return info;
    }

    // A processor named by its vendor string, with leaf 6's counter bit and the
    // given 0x80000007 EDX (bit 8: invariant counter).
    CSystemInfo& ProcessorOf(const Signature& s, bool library) {
        sim::Processor& cpu = machine->Cpu(0);
        SetVendorString(cpu, s.vendor12);
        cpu.Set(6, {0, 0, 1, 0});
        cpu.Set(0x80000007, {0, 0, 0, s.extLeaf7Edx});
        return Processor(VendorNumber(s.vendor12), s.family, s.model, 0, library);
    }

    // Intel family 6 model 15 (no extended model): every method runs.
    CSystemInfo& FullIntelPath() {
        machine->Cpu(0).Set(6, {0, 0, 1, 0});
        return Processor(1, 6, 0x0F, 0);
    }

    void ScriptClassic(LONGLONG dQ, uint64_t dT) {
        machine->perfCounterScript.insert(machine->perfCounterScript.end(), {1000, 1000 + dQ});
        machine->Cpu(0).tscScript.insert(machine->Cpu(0).tscScript.end(), {7, 7 + dT});
    }

    void ScriptAperf(std::vector<uint64_t> readings) {
        auto& script = machine->Cpu(0).msrScripts[kAperf];
        script.insert(script.end(), readings.begin(), readings.end());
    }
};

TEST_F(ClockTest, ReadMsrJoinsTheHalvesAndGivesZeroOnAnyFailure) {
    CSystemInfo& info = Processor(1, 6, 0x0F, 0);
    machine->Cpu(0).msrs[0x1A2] = 0x12345678ABCDEF01ull;
    machine->Cpu(0).failingMsrs.insert(0x19C);
    EXPECT_EQ(info.ReadMsr(0x1A2), 0x12345678ABCDEF01ull);
    EXPECT_EQ(info.ReadMsr(0x19C), 0u);

    ols::ForgetEntryPointsForTesting();
    machine->library.calls.clear();
    EXPECT_EQ(info.ReadMsr(0x1A2), 0u);
    EXPECT_TRUE(machine->library.calls.empty());
}

TEST_F(ClockTest, WaitMillisecondsBusyWaitsOnElapsedTime) {
    const uint64_t start = machine->nowNs;
    WaitMilliseconds(100);
    EXPECT_GE(machine->nowNs - start, 99000000u);  // the first reading may fall late in its millisecond
    EXPECT_LE(machine->nowNs - start, 101000000u);
    EXPECT_TRUE(machine->sleeps.empty());
}

struct PeriodCase : case_names::Named {
    MMRESULT result;
    TIMECAPS caps;
    std::vector<UINT> periods;
};

class TimerPeriodTest : public ClockTest, public ::testing::WithParamInterface<PeriodCase> {};

TEST_P(TimerPeriodTest, RequestsTheSmallestUsablePeriod) {
    const PeriodCase& c = GetParam();
    machine->devCapsResult = c.result;
    machine->devCaps = c.caps;
    Processor(0, 6, 0x0F, 0, false).MeasureClock();
    EXPECT_EQ(machine->beginPeriodCalls, c.periods);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimerPeriodTest,
    ::testing::Values(PeriodCase{{"Usual"}, TIMERR_NOERROR, {1, 1000000}, {1}},
                      PeriodCase{{"MinimumZero"}, TIMERR_NOERROR, {0, 1000000}, {1}},
                      PeriodCase{{"MinimumZeroMaximumZero"}, TIMERR_NOERROR, {0, 0}, {0}},
                      PeriodCase{{"CoarseMinimum"}, TIMERR_NOERROR, {16, 1000}, {16}},
                      PeriodCase{{"MaximumBelowMinimum"}, TIMERR_NOERROR, {5, 3}, {3}},
                      PeriodCase{{"CapsFail"}, 97, {1, 1000000}, {}}),
    case_names::ByName{});

struct RateCase : case_names::Named {
    Signature processor;
    uint8_t constTsc;
};

class ConstantRateTest : public ClockTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(ConstantRateTest, FollowsTheFamilyModelAndInvariantCounterRules) {
    const RateCase& c = GetParam();
    CSystemInfo& info = ProcessorOf(c.processor, false);
    EXPECT_EQ(info.MeasureClock(), 1);
    EXPECT_EQ(info.constTsc, c.constTsc);
    EXPECT_EQ(info.perfMsr, 0);  // no library
    // Intel's multipliers are cleared before deciding to read them; other vendors keep the constructor's.
    const double multipliers = info.vendor == kVendorIntel ? 0.0 : 1.0;
    EXPECT_EQ(info.coefMax, multipliers);
    EXPECT_EQ(info.coefCurrent, multipliers);
    EXPECT_TRUE(machine->library.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConstantRateTest,
    ::testing::Values(RateCase{{"Family6Model13"}, {"GenuineIntel", 6, 13, 0}, 0},
                      RateCase{{"Family6Model14"}, {"GenuineIntel", 6, 14, 0}, 1},
                      RateCase{{"Family6ModelAfter"}, {"GenuineIntel", 6, 0x9A, 0}, 1},
                      RateCase{{"Family15Model2"}, {"GenuineIntel", 15, 2, 0}, 0},
                      RateCase{{"Family15Model3"}, {"GenuineIntel", 15, 3, 0}, 1},
                      RateCase{{"Family5"}, {"GenuineIntel", 5, 14, 0}, 0},
                      RateCase{{"Family7"}, {"GenuineIntel", 7, 20, 0}, 0},
                      RateCase{{"IntelOtherFamilyInvariantCounter"}, {"GenuineIntel", 19, 1, kInvariantCounter}, 1},
                      RateCase{{"AmdFamily15Model3"}, {"AuthenticAMD", 15, 3, 0}, 0},
                      RateCase{{"AmdOtherPowerFlagsOnly"}, {"AuthenticAMD", 15, 0x2B, 0x2FF}, 0},
                      RateCase{{"AmdInvariantCounter"}, {"AuthenticAMD", 0x10, 4, 0x1F9}, 1},
                      RateCase{{"OtherVendorInvariantCounter"}, {"HygonGenuine", 0x18, 0, kInvariantCounter}, 1},
                      RateCase{{"OtherVendorFamily6Model14"}, {"CyrixInstead", 6, 14, 0}, 0},
                      RateCase{{"OtherVendorFamily6Model15"}, {"CyrixInstead", 6, 15, 0}, 0},
                      RateCase{{"CentaurFamily6Model14"}, {"CentaurHauls", 6, 14, 0}, 0},
                      RateCase{{"CentaurFamily6Model15"}, {"CentaurHauls", 6, 15, 0}, 1},
                      RateCase{{"CentaurFamily5"}, {"CentaurHauls", 5, 15, 0}, 0},
                      RateCase{{"CentaurFamily7"}, {"CentaurHauls", 7, 0x3B, 0}, 1}),
    case_names::ByName{});

enum class Library { kAbsent, kBound };
// How MSR 0xE8 answers: ticking, a failed read, or a reading of 0.
enum class Counter { kTicks, kReadFails, kReadsZero };

struct ChainCase : case_names::Named {
    uint32_t leaf6Ecx;
    Library library;
    uint8_t driverStatus;
    BOOL isMsr;
    Counter counter;
    uint8_t perfMsr;
    Strings calls;  // library calls of the whole measurement when the counter is refused
};

class PerformanceCounterRuleTest : public ClockTest, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(PerformanceCounterRuleTest, StopsAtTheFirstFailingCondition) {
    const ChainCase& c = GetParam();
    machine->Cpu(0).Set(6, {0, 0, c.leaf6Ecx, 0});
    machine->library.isMsr = c.isMsr;
    if (c.counter == Counter::kReadFails) machine->Cpu(0).failingMsrs.insert(kAperf);
    if (c.counter == Counter::kReadsZero) machine->Cpu(0).msrs[kAperf] = 0;
    CSystemInfo& info = Processor(1, 6, 0x0F, 0, c.library == Library::kBound);
    info.driverStatus = c.driverStatus;

    info.MeasureClock();

    EXPECT_EQ(info.constTsc, 1);
    EXPECT_EQ(info.perfMsr, c.perfMsr);
    if (c.perfMsr == 0) {
        EXPECT_EQ(machine->library.calls, c.calls);
        EXPECT_EQ(info.coefMax, 0.0);
        EXPECT_EQ(info.freqClassicFixed, 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PerformanceCounterRuleTest,
    ::testing::Values(ChainCase{{"NoLeaf6Bit"}, 0, Library::kBound, 0, 1, Counter::kTicks, 0, {}},
                      ChainCase{{"OtherLeaf6Bits"}, 0xFFFFFFFE, Library::kBound, 0, 1, Counter::kTicks, 0, {}},
                      ChainCase{{"LibraryAbsent"}, 1, Library::kAbsent, 9, 1, Counter::kTicks, 0, {}},
                      ChainCase{{"LibraryNotReady"}, 1, Library::kBound, 3, 1, Counter::kTicks, 0, {}},
                      ChainCase{{"IsMsrZero"}, 1, Library::kBound, 0, 0, Counter::kTicks, 0, {"IsMsr"}},
                      ChainCase{{"IsMsrTwo"}, 1, Library::kBound, 0, 2, Counter::kTicks, 0, {"IsMsr"}},
                      ChainCase{{"CounterReadFails"}, 1, Library::kBound, 0, 1, Counter::kReadFails, 0,
                                {"IsMsr", "Rdmsr"}},
                      ChainCase{{"CounterReadsZero"}, 1, Library::kBound, 0, 1, Counter::kReadsZero, 0,
                                {"IsMsr", "Rdmsr"}},
                      ChainCase{{"AllHold"}, 1, Library::kBound, 0, 1, Counter::kTicks, 1, {}}),
    case_names::ByName{});

struct CounterVendorCase : case_names::Named {
    Signature processor;
};

class CounterForEveryVendorTest : public ClockTest, public ::testing::WithParamInterface<CounterVendorCase> {};

// The rule itself is the same chain as above; what it leads to stays Intel's:
// no multiplier read, no method beyond the classic one.
TEST_P(CounterForEveryVendorTest, ReadsTheCounterWhateverTheVendorOrTheTimeStampCounterRate) {
    CSystemInfo& info = ProcessorOf(GetParam().processor, true);

    info.MeasureClock();

    EXPECT_EQ(info.perfMsr, 1);
    EXPECT_EQ(machine->library.calls, (Strings{"IsMsr", "Rdmsr"}));
    EXPECT_EQ(info.freqClassicFixed, 0.0);
    EXPECT_EQ(info.freqAlt1, 0.0);
    EXPECT_EQ(info.freqAlt2, 0.0);
    EXPECT_EQ(info.freqRetained, info.freqClassic);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CounterForEveryVendorTest,
    ::testing::Values(CounterVendorCase{{"AmdInvariantCounter"}, {"AuthenticAMD", 0x15, 1, kInvariantCounter}},
                      CounterVendorCase{{"AmdWithoutInvariantCounter"}, {"AuthenticAMD", 0x12, 1, 0}},
                      CounterVendorCase{{"Centaur"}, {"CentaurHauls", 7, 0x3B, 0}},
                      CounterVendorCase{{"OtherVendor"}, {"HygonGenuine", 0x18, 0, kInvariantCounter}},
                      CounterVendorCase{{"IntelWithoutConstantRate"}, {"GenuineIntel", 15, 2, 0}}),
    case_names::ByName{});

// An MSR the simulated library cannot read.
constexpr uint64_t kUnreadable = ~uint64_t{0};

struct MultiplierCase : case_names::Named {
    uint64_t perfStatus;  // or kUnreadable, as for platformId
    uint64_t platformId;
    uint32_t leaf1Ecx;
    uint64_t powerOnConfiguration;  // MSR 0x2A
    double coefMax;
    double coefCurrent;
    MsrList reads;  // the MSRs read up to the current multiplier
};

// The Core 2 rules, on model 0x0F.
class MultiplierTest : public ClockTest, public ::testing::WithParamInterface<MultiplierCase> {};

TEST_P(MultiplierTest, DecodesTheMaximumAndCurrentMultipliers) {
    const MultiplierCase& c = GetParam();
    sim::Processor& cpu = machine->Cpu(0);
    if (c.perfStatus != kUnreadable) cpu.msrs[kPerfStatus] = c.perfStatus;
    if (c.platformId != kUnreadable) cpu.msrs[0x17] = c.platformId;
    cpu.msrs[0x2A] = c.powerOnConfiguration;
    cpu.Set(1, {0, 0, c.leaf1Ecx, 0});
    CSystemInfo& info = FullIntelPath();

    info.MeasureClock();

    EXPECT_EQ(info.coefMax, c.coefMax);
    EXPECT_EQ(info.coefCurrent, c.coefCurrent);
    const MsrList& reads = machine->library.msrReads;
    ASSERT_GE(reads.size(), c.reads.size());
    EXPECT_EQ(MsrList(reads.begin(), reads.begin() + static_cast<long>(c.reads.size())), c.reads);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MultiplierTest,
    ::testing::Values(
        MultiplierCase{{"MaxInPerfStatusHigh"}, 0x0B00 * kHigh + 0x80000A00u, kUnreadable, 0x80, 0, 11.0, 10.0,
                       {kAperf, 0x198, 0x198, 0x198}},
        MultiplierCase{{"HalfStepsInPerfStatus"}, 0x4900 * kHigh + 0x80004A00u, kUnreadable, 0x80, 0, 9.5, 10.5,
                       {kAperf, 0x198, 0x198, 0x198}},
        MultiplierCase{{"MaxInPlatformId"}, 0x0B00 * kHigh + 0x0A00, 0x0B00, 0x80, 0, 11.0, 10.0,
                       {kAperf, 0x198, 0x17, 0x198}},
        MultiplierCase{{"HalfStepInPlatformId"}, 0, 0xFFFF0000u * kHigh + 0x4900, 0x80, 0, 9.5, 0.0,
                       {kAperf, 0x198, 0x17, 0x198}},
        MultiplierCase{{"CurrentInPowerOnConfiguration"}, 0x80000000u, kUnreadable, 0, 0x0A400000, 0.0, 9.0,
                       {kAperf, 0x198, 0x198, 0x2A}},
        MultiplierCase{{"PowerOnConfigurationHasNoHalfStep"}, 0x80000000u, kUnreadable, 0, 0x0A404000, 0.0, 9.0,
                       {kAperf, 0x198, 0x198, 0x2A}},
        MultiplierCase{{"FailedReadsGiveZero"}, kUnreadable, kUnreadable, 0x80, 0, 0.0, 0.0,
                       {kAperf, 0x198, 0x17, 0x198}}),
    case_names::ByName{});

// One set of registers that each coding reads differently: MSR 0xCE bits 15:8
// say 24; MSR 0x198 says 25 in bits 7:0, 74 in bits 15:8, and 10.5 in bits 12:8
// with the half step of bit 14, with 11 in bits 44:40; MSR 0x17 says 9.
constexpr uint64_t kPlatformInfo24 = 0x1800;
constexpr uint64_t kPerfStatusEachCoding = 0x0B00 * kHigh + 0x4A19;
constexpr uint64_t kPlatformId9 = 0x0900;

struct Family6Model {
    uint8_t family;
    uint8_t model;
};

struct CodingCase : case_names::Named {
    std::vector<Family6Model> processors;
    double coefMax;
    double coefCurrent;
};

class RatioCodingTest : public ClockTest, public ::testing::WithParamInterface<CodingCase> {};

TEST_P(RatioCodingTest, EachProcessorReadsItsOwnRatioCoding) {
    const CodingCase& c = GetParam();
    for (const Family6Model& p : c.processors) {
        SCOPED_TRACE(testing::Message() << "family " << int{p.family} << " model 0x" << std::hex << int{p.model});
        NewMachine(1);
        sim::Processor& cpu = machine->Cpu(0);
        cpu.Set(6, {0, 0, 1, 0});
        cpu.Set(1, {0, 0, 0x80, 0});
        cpu.msrs[0xCE] = kPlatformInfo24;
        cpu.msrs[kPerfStatus] = kPerfStatusEachCoding;
        cpu.msrs[0x17] = kPlatformId9;
        CSystemInfo& info = Processor(kVendorIntel, p.family, p.model, static_cast<uint8_t>(p.model >> 4));

        info.MeasureClock();

        EXPECT_EQ(info.constTsc, 1);
        EXPECT_EQ(info.perfMsr, 1);
        EXPECT_EQ(info.coefMax, c.coefMax);
        EXPECT_EQ(info.coefCurrent, c.coefCurrent);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RatioCodingTest,
    ::testing::Values(
        CodingCase{{"NehalemAndWestmereLowByte"},
                   {{6, 0x1A}, {6, 0x1E}, {6, 0x1F}, {6, 0x25}, {6, 0x2C}, {6, 0x2E}, {6, 0x2F}},
                   24.0,
                   25.0},
        CodingCase{{"LaterDesignsSecondByte"},
                   {{6, 0x2A}, {6, 0x2D}, {6, 0x37}, {6, 0x3F}, {6, 0x4D}, {6, 0x55}, {6, 0x5C}, {6, 0x8C},
                    {6, 0x97}, {6, 0x9A}, {6, 0xAD}, {6, 0xBD}},
                   24.0,
                   74.0},
        CodingCase{{"Core2PlatformId"}, {{6, 0x0F}, {6, 0x16}, {6, 0x17}, {6, 0x1D}}, 9.0, 10.5},
        CodingCase{{"OlderPartsPerfStatusHigh"},
                   {{15, 3}, {15, 6}, {6, 0x0E}, {6, 0x15}, {6, 0x1C}, {6, 0x26}, {6, 0x27}, {6, 0x35}, {6, 0x36}},
                   11.0,
                   10.5}),
    case_names::ByName{});

// A later design whose MSR 0xCE cannot be read keeps the Core 2 rule whole,
// here with the noise of a Silvermont's MSR 0x17 (29) and its MSR 0x198 (24).
TEST_F(ClockTest, WithoutPlatformInfoALaterDesignKeepsTheCore2Rule) {
    sim::Processor& cpu = machine->Cpu(0);
    cpu.Set(6, {0, 0, 1, 0});
    cpu.Set(1, {0, 0, 0x80, 0});
    cpu.msrs[kPerfStatus] = 0x76000000183Bull;
    cpu.msrs[0x17] = 0x0008000090241D46ull;
    CSystemInfo& info = Processor(kVendorIntel, 6, 0x37, 3);

    info.MeasureClock();

    EXPECT_EQ(info.coefMax, 29.0);
    EXPECT_EQ(info.coefCurrent, 24.0);
    EXPECT_EQ(machine->library.msrReads, (MsrList{kAperf, 0xCE, 0x198, 0x17, 0x198}));
}

// Without leaf 1 ECX bit 7 the current multiplier still comes from MSR 0x2A.
TEST_F(ClockTest, ALaterDesignWithoutEnhancedSpeedStepTakesTheCurrentFromPowerOnConfiguration) {
    sim::Processor& cpu = machine->Cpu(0);
    cpu.Set(6, {0, 0, 1, 0});
    cpu.msrs[0xCE] = kPlatformInfo24;
    cpu.msrs[kPerfStatus] = kPerfStatusEachCoding;
    cpu.msrs[0x2A] = 0x0A400000;
    CSystemInfo& info = Processor(kVendorIntel, 6, 0x3F, 3);

    info.MeasureClock();

    EXPECT_EQ(info.coefMax, 24.0);
    EXPECT_EQ(info.coefCurrent, 9.0);
}

TEST_F(ClockTest, ClassicMethodUsesTheCountersExactly) {
    CSystemInfo& info = Processor(2, 16, 4, 0, false);
    machine->perfFrequency = 10000000;
    ScriptClassic(1000000, 240000000);

    info.MeasureClock();

    EXPECT_EQ(info.freqClassic, 2400.0);
    EXPECT_EQ(info.freqRetained, 2400.0);
    EXPECT_EQ(info.freqClassicFixed, 0.0);
    EXPECT_EQ(info.freqAlt1, 0.0);
    EXPECT_EQ(info.freqAlt2, 0.0);
}

TEST_F(ClockTest, ClassicMethodAcrossACounterWrap) {
    CSystemInfo& info = Processor(0, 6, 14, 0, false);
    machine->Cpu(0).tscScript = {0xFFFFFFFFFFFFFF00ull, 239999744};  // dT = 240 000 000 across a wrap
    machine->perfCounterScript = {-500000, 500000};
    info.MeasureClock();
    EXPECT_EQ(info.freqClassic, 2400.0);
}

TEST_F(ClockTest, AStillOrMissingPerformanceCounterGivesZero) {
    for (const LONGLONG frequency : {LONGLONG{0}, LONGLONG{10000000}}) {
        SCOPED_TRACE(frequency);
        NewMachine(1);
        machine->perfFrequency = frequency;
        if (frequency != 0) machine->perfCounterScript = {500, 500};
        CSystemInfo& info = Processor(0, 6, 14, 0, false);
        info.MeasureClock();
        EXPECT_EQ(info.freqClassic, 0.0);
        EXPECT_EQ(info.freqRetained, 0.0);
    }
}

TEST_F(ClockTest, ANonIntelProcessorMakesOnlyTheClassicReadings) {
    CSystemInfo& info = Processor(2, 15, 3, 0);
    info.MeasureClock();
    EXPECT_EQ(machine->readingTrace, "S F Q T c Q T");
    EXPECT_EQ(machine->sleeps, (std::vector<DWORD>{300}));
    EXPECT_TRUE(machine->library.calls.empty());
    EXPECT_EQ(info.coefMax, 1.0);
    EXPECT_EQ(info.coefCurrent, 1.0);
}

TEST_F(ClockTest, TheFullIntelPathReadsInItsOrder) {
    FullIntelPath().MeasureClock();
    // Rule, 20 ms, 300 ms sleep, classic, 200 ms, alternative 1, alternative 2.
    EXPECT_EQ(machine->readingTrace, "A c S F Q T c Q T c F Q A c Q A A M c M A");
}

TEST_F(ClockTest, OnVirtualTimeEveryMethodFindsTheSimulatedRates) {
    machine->tscMhz = 2400.0;
    machine->aperfMhz = 1800.0;
    machine->Cpu(0).msrs[kPerfStatus] = kPerfStatus12And9;
    machine->Cpu(0).Set(1, {0, 0, 0x80, 0});
    CSystemInfo& info = FullIntelPath();

    info.MeasureClock();

    EXPECT_EQ(info.coefMax, 12.0);
    EXPECT_EQ(info.coefCurrent, 9.0);
    EXPECT_NEAR(info.freqClassic, 2400.0, 2.4);
    EXPECT_NEAR(info.freqClassicFixed, 1800.0, 1.8);
    EXPECT_NEAR(info.freqAlt1, 1800.0, 1.8);
    EXPECT_NEAR(info.freqAlt2, 1800.0, 1.8 * 3);  // milliseconds of the multimedia timer are coarse
    EXPECT_EQ(info.freqRetained, info.freqClassicFixed);  // both alternatives within 0.5 %
    EXPECT_EQ(info.perfMsr, 1);
}

struct FixedCase : case_names::Named {
    uint64_t perfStatus;  // maximum in the high half, current in the low half
    double fixed;
};

class FixedMethodTest : public ClockTest, public ::testing::WithParamInterface<FixedCase> {};

// An extended family 6 model (here a Core 2 of the 45 nm generation) stops after
// the fixed method, its counter still readable.
TEST_P(FixedMethodTest, ScalesByTheMultipliersAndStopsForExtendedFamily6Models) {
    const FixedCase& c = GetParam();
    machine->Cpu(0).Set(6, {0, 0, 1, 0});
    machine->Cpu(0).Set(1, {0, 0, 0x80, 0});
    machine->Cpu(0).msrs[kPerfStatus] = c.perfStatus;
    ScriptClassic(1000000, 240000000);
    CSystemInfo& info = Processor(1, 6, 0x17, 1);

    info.MeasureClock();

    EXPECT_EQ(info.freqClassic, 2400.0);
    EXPECT_EQ(info.freqClassicFixed, c.fixed);
    EXPECT_EQ(info.freqRetained, c.fixed);
    EXPECT_EQ(info.constTsc, 1);
    EXPECT_EQ(info.perfMsr, 1);
    EXPECT_EQ(info.freqAlt1, 0.0);
    EXPECT_EQ(info.freqAlt2, 0.0);
    EXPECT_EQ(machine->readingTrace, "A c S F Q T c Q T c");
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedMethodTest,
    ::testing::Values(FixedCase{{"HalfSpeed"}, 0x0C00 * kHigh + 0x80000600u, 1200.0},
                      FixedCase{{"EqualMultipliers"}, 0x0C00 * kHigh + 0x80000C00u, 2400.0},
                      FixedCase{{"MaximumOne"}, 0x0100 * kHigh + 0x80004000u, 2400.0},
                      FixedCase{{"MaximumBelowOne"}, 0x4000 * kHigh + 0x80000300u, 2400.0},
                      FixedCase{{"BothZero"}, 0x80000000u, 2400.0},
                      FixedCase{{"CurrentNotRead"}, 0x0C00 * kHigh + 0x80000000u, 2400.0}),
    case_names::ByName{});

struct AlternativeCase : case_names::Named {
    LONGLONG alt1Interval;  // performance-counter ticks at 10 MHz
    uint64_t alt1Ticks;
    DWORD m0;
    DWORD m1;
    uint64_t alt2Ticks;
    double alt1;
    double alt2;
    double retained;
    uint8_t perfMsr;
};

class AlternativeTest : public ClockTest, public ::testing::WithParamInterface<AlternativeCase> {};

// The classic method gives 2000 MHz; the alternatives may replace it.
TEST_P(AlternativeTest, AcceptsOnlyPlausibleValuesFurtherThanHalfAPercent) {
    const AlternativeCase& c = GetParam();
    machine->perfFrequency = 10000000;
    ScriptClassic(1000000, 200000000);
    machine->perfCounterScript.insert(machine->perfCounterScript.end(), {50, 50 + c.alt1Interval});
    ScriptAperf({1, 100, 100 + c.alt1Ticks, 5000, 5000 + c.alt2Ticks});
    machine->timeGetTimeScript = {c.m0, c.m1};
    CSystemInfo& info = FullIntelPath();

    info.MeasureClock();

    EXPECT_EQ(info.freqClassic, 2000.0);
    EXPECT_DOUBLE_EQ(info.freqAlt1, c.alt1);
    EXPECT_DOUBLE_EQ(info.freqAlt2, c.alt2);
    EXPECT_DOUBLE_EQ(info.freqRetained, c.retained);
    EXPECT_EQ(info.perfMsr, c.perfMsr);
    EXPECT_TRUE(std::isfinite(info.freqAlt1) && std::isfinite(info.freqAlt2));
}

INSTANTIATE_TEST_SUITE_P(
    Table, AlternativeTest,
    ::testing::Values(
        AlternativeCase{{"BothReplace"}, 1000000, 240000000, 1000, 1600, 1440000000, 2400.0, 2400.0, 2400.0, 1},
        AlternativeCase{{"BothClose"}, 1000000, 200900000, 1000, 1600, 1205000000, 2009.0, 2008.3333333333333,
                        2000.0, 1},
        AlternativeCase{{"RatioExactlyHalfAPercentKeeps"}, 1000000, 201000000, 1000, 1600, 1206000000, 2010.0,
                        2010.0, 2000.0, 1},
        AlternativeCase{{"SecondComparesWithTheFirst"}, 1000000, 201020000, 1000, 1600, 1212000000, 2010.2, 2020.0,
                        2010.2, 1},
        AlternativeCase{{"Exactly500Rejected"}, 1000000, 50000000, 1000, 1600, 1440000000, 500.0, 2400.0, 2400.0, 0},
        AlternativeCase{{"Exactly100000Rejected"}, 1000000, 10000000000ull, 1000, 1600, 1200000000, 100000.0, 2000.0,
                        2000.0, 0},
        AlternativeCase{{"SecondRejected"}, 1000000, 240000000, 1000, 1600, 300000, 2400.0, 0.5, 2400.0, 0},
        AlternativeCase{{"MillisecondWrapRejected"}, 1000000, 200000000, 0xFFFFFF00u, 0x158, 1200000000, 2000.0,
                        1200000000.0 / (0x158 - 0xFFFFFF00ll) / 1000, 2000.0, 0},
        AlternativeCase{{"StillPerformanceCounterGivesZero"}, 0, 200000000, 1000, 1600, 1440000000, 0.0, 2400.0,
                        2400.0, 0},
        AlternativeCase{{"StillMillisecondsGiveZero"}, 1000000, 240000000, 1000, 1000, 1440000000, 2400.0, 0.0,
                        2400.0, 0}),
    case_names::ByName{});

}  // namespace
