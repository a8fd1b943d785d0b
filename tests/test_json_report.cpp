// The --json run and its document: the same run as the French report's, and
// null wherever the report's value is unknown. Every document made here is
// validated against doc/vexmora.schema.json.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/json_report.h"
#include "app/report.h"
#include "case_names.h"
#include "json_checked.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

constexpr char kBloomfield[] = "GenuineIntel00106A4_Bloomfield_CPUID.txt";

class JsonRunTest : public SimTest {
protected:
    int RunJson() { return RunProgram(Record(), nullptr, ReportForm::kJson); }
};

// Everything a run did that a person could notice, beside what it printed.
struct RunTrace {
    std::vector<DWORD> sleeps;
    std::string readings;
    size_t temperatureThreads;
};

RunTrace TraceOf(const sim::Machine& m) {
    return RunTrace{m.sleeps, m.readingTrace, m.threads.size()};
}

TEST_F(JsonRunTest, MeasuresAndWaitsAsTheReportDoesButAsksForNoKey) {
    MachineFromDump(kBloomfield);
    ASSERT_EQ(RunWholeProgram(), 0);
    const RunTrace french = TraceOf(*machine);

    MachineFromDump(kBloomfield);
    ASSERT_EQ(RunJson(), 0);
    const RunTrace json = TraceOf(*machine);

    EXPECT_EQ(json.sleeps, french.sleeps) << "the 1200 ms before the temperatures included";
    EXPECT_EQ(json.readings, french.readings);
    EXPECT_EQ(json.temperatureThreads, french.temperatureThreads);
    EXPECT_EQ(machine->pauseCount, 0);
    EXPECT_EQ(machine->finishCount, 1);
    EXPECT_EQ(machine->output, "") << "no banner and no French line beside the document";

    CheckedDocument doc;
    ASSERT_TRUE(ValidDocument(machine->document, &doc));
    EXPECT_EQ(doc["program.name"], "\"vexmora\"");
    EXPECT_EQ(doc["processor.name"], "\"Genuine Intel(R) CPU 000 @ 3.20GHz\"");
    EXPECT_EQ(doc["processor.model"], "26") << "the report's Model 1A";
    EXPECT_EQ(doc.Count("processors"), 8u);
    EXPECT_EQ(doc["processors.7.temperature_c"], "48.0");
    EXPECT_EQ(doc["temperatures.source"], "\"msr\"");
    EXPECT_EQ(doc["summary"], "\"1 Processeur Quadcore HT On 64 bits\"");
}

struct JsonDeliveryCase : case_names::Named {
    platform::ReportDelivery delivery;
    int status;
};

class JsonExitStatusTest : public JsonRunTest, public ::testing::WithParamInterface<JsonDeliveryCase> {};

TEST_P(JsonExitStatusTest, FollowsHowTheDocumentWasDelivered) {
    machine->reportDelivery = GetParam().delivery;
    EXPECT_EQ(RunJson(), GetParam().status);
    EXPECT_EQ(machine->finishCount, 1);
    EXPECT_EQ(machine->pauseCount, 0);
    CheckedDocument doc;
    EXPECT_TRUE(ValidDocument(machine->document, &doc)) << "the whole document was written first";
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonExitStatusTest,
    ::testing::Values(JsonDeliveryCase{{"Written"}, platform::ReportDelivery::kWritten, 0},
                      JsonDeliveryCase{{"WriteFailed"}, platform::ReportDelivery::kFailed, 1},
                      JsonDeliveryCase{{"PipeReaderGone"}, platform::ReportDelivery::kReaderGone, 141}),
    case_names::ByName{});

TEST_F(JsonRunTest, TheCommandLinesJsonAnswerRunsTheJsonReport) {
    machine->commandLine = platform::CommandLine::kJson;
    const char* const argv[] = {"vexmora", "--json"};
    EXPECT_EQ(RunCommandLine(Record(), 2, argv), 0);
    EXPECT_EQ(machine->pauseCount, 0);
    EXPECT_EQ(machine->output, "");
    CheckedDocument doc;
    EXPECT_TRUE(ValidDocument(machine->document, &doc));
}

// The warnings still go where they went; the document repeats them, in UTF-8.
TEST_F(JsonRunTest, TheWarningsAreRepeatedInTheDocument) {
    sim::Machine& m = NewMachine(2);
    m.library.present = false;
    m.processMask = 0x1;  // the process may not run on processor 1

    EXPECT_EQ(RunJson(), 0);

    ASSERT_EQ(m.messageBoxes.size(), 2u);
    CheckedDocument doc;
    ASSERT_TRUE(ValidDocument(m.document, &doc));
    EXPECT_EQ(doc.Count("messages"), 2u);
    EXPECT_EQ(doc["messages.1"], "\"Vexmora: Skelvane ne peut acc\xC3\xA9" "der \xC3\xA0 tous les processeurs logiques !\"");
    EXPECT_EQ(doc["topology.inactive_cores"], "null") << "a walk that missed processors infers none";
}

// One string per line of standard error: a warning of two lines is two.
TEST_F(JsonRunTest, AWarningOfTwoLinesIsTwoMessages) {
    machine->library.status = 2;

    EXPECT_EQ(RunJson(), 0);

    CheckedDocument doc;
    ASSERT_TRUE(ValidDocument(machine->document, &doc));
    ASSERT_EQ(doc.Count("messages"), 2u);
    EXPECT_EQ(doc["messages.0"], "\"Vexmora: Erreur de chargement de WinRing0 ! Afin de profiter pleinement de\"");
    EXPECT_EQ(doc["messages.1"], "\"Skelvane, veuillez le relancer avec les droits administrateurs.\"");
}

// An affinity error stops the pass before the walk: the report prints the
// record's defaults, the document says none of them is known.
TEST_F(JsonRunTest, AfterAnAffinityErrorNothingIsKnown) {
    sim::Machine& m = NewMachine(4);
    m.failAffinityQuery = true;
    m.library.present = false;

    EXPECT_EQ(RunJson(), 0);

    CheckedDocument doc;
    ASSERT_TRUE(ValidDocument(m.document, &doc));
    for (const char* key : {"processor.vendor", "processor.name", "processor.family", "processor.features.long_mode",
                            "clock.classic_mhz", "clock.retained_mhz", "topology.packages",
                            "topology.cores_per_package", "topology.threads_per_core", "topology.logical_processors",
                            "topology.hyper_threading", "topology.inactive_cores", "processors.0.apic_id",
                            "processors.0.package", "processors.0.l2", "caches.l2", "caches.l3_size_kb",
                            "temperatures.sensor"}) {
        EXPECT_EQ(doc[key], "null") << key;
    }
    EXPECT_EQ(doc.Count("processors"), 1u) << "as the report's one line of zeros";
    EXPECT_EQ(doc["summary"], "\"1 Processeur Monocore 32 bits\"");
    EXPECT_EQ(doc["messages.1"], "\"Vexmora: GetProcessAffinityMask Error.\"");
}

// A processor the walk could not pin keeps an all-zero entry in the report;
// in the document its split and caches are unknown.
TEST_F(JsonRunTest, AProcessorThatCouldNotBePinnedIsUnknown) {
    sim::Machine& m = NewMachine(4);
    m.failingPins = {2};

    EXPECT_EQ(RunJson(), 0);

    CheckedDocument doc;
    ASSERT_TRUE(ValidDocument(m.document, &doc));
    ASSERT_EQ(doc.Count("processors"), 4u);
    EXPECT_EQ(doc["processors.2.system_number"], "2");
    for (const char* key : {"apic_id", "package", "core", "thread", "l2", "l3", "temperature_c"}) {
        EXPECT_EQ(doc[std::string("processors.2.") + key], "null") << key;
    }
    EXPECT_EQ(doc["processors.3.apic_id"], "0");
    EXPECT_EQ(doc["topology.logical_processors"], "4");
}

// ---- The document from a record -------------------------------------------

// A record as a whole walk over `count` processors leaves it, each reached.
CSystemInfo& Walked(CSystemInfo& info, int count) {
    AsIfWalked(info, count);
    info.driverStatus = 0;
    return info;
}

CSystemInfo& EveryFigureMeasured(CSystemInfo& info, uint8_t vendor) {
    return MeasuredRecord(Walked(info, 2), vendor, 1, 1);
}

void IntelWithEveryFigure(CSystemInfo& info) {
    EveryFigureMeasured(info, kVendorIntel);
}
void AmdWithEveryFigure(CSystemInfo& info) {
    EveryFigureMeasured(info, kVendorAmd);
}
void IntelWithoutPerfMsr(CSystemInfo& info) {
    EveryFigureMeasured(info, kVendorIntel).perfMsr = 0;
}
void IntelWhoseMethodsFailed(CSystemInfo& info) {
    CSystemInfo& i = EveryFigureMeasured(info, kVendorIntel);
    i.freqClassicFixed = 0.0;
    i.freqAlt1 = -5.0;
    i.freqAlt2 = std::nan("");
    i.freqClassic = 0.0;
    i.coefCurrent = 0.0;
}
// Figures below what two decimals (one for a multiplier) show: the report
// prints 0.00, which says no more than a method that gave nothing.
void IntelWithFiguresThatPrintAsZero(CSystemInfo& info) {
    CSystemInfo& i = EveryFigureMeasured(info, kVendorIntel);
    i.freqClassic = 0.004;
    i.freqClassicFixed = 0.001;
    i.freqAlt1 = 0.005;
    i.freqAlt2 = 0.0049;
    i.freqRetained = 0.004;
    i.coefMax = 0.04;
    i.coefCurrent = 0.05;
}
void HybridCaches(CSystemInfo& info) {
    Walked(info, 2);
    info.l2Count = 6;
    info.l2SizeKb = 1280;
    info.moreL2Kinds = {CacheKind{2, 2048}};
    info.l3SizeKb = 24576;
    info.processors[1].caches.flags |= kListsL2;
    info.processors[1].caches.l2 = CacheInstance{8, 2048, 4};
}
void NoCacheFound(CSystemInfo& info) {
    Walked(info, 1);
    info.l2SizeKb = 0;
    info.l3SizeKb = 0;
}
void HyperThreadingOnWithInactiveCores(CSystemInfo& info) {
    Walked(info, 6);
    info.htState = kHtOn;
    info.inactiveCores = 1;
    info.threadsPerCore = 2;
}
void NoThreadCountFound(CSystemInfo& info) {
    Walked(info, 1);
    info.threadsPerCore = 0;
}
void AWalkThatStoppedShort(CSystemInfo& info) {
    Walked(info, 2);
    info.walkStoppedShort = 1;
}
void FirstProcessorNeverReached(CSystemInfo& info) {
    Walked(info, 2);
    info.processors[0].walked = false;
    info.family = 6;
}
void HybridCoresCounted(CSystemInfo& info) {
    Walked(info, 3);
    info.hybridCores = HybridCores{6, 12, 8, 8};
    info.processors[0].coreType = CoreType::kPerformance;
    info.processors[1].coreType = CoreType::kEfficiency;
    info.processors[2].coreType = CoreType::kUnknown;
}
void OneKindOfCore(CSystemInfo& info) {
    Walked(info, 1);
    info.hybridCores = HybridCores{6, 12, 0, 0};
}
void LibraryNotReady(CSystemInfo& info) {
    Walked(info, 1);
    info.driverStatus = 3;
}
void ANameWithControlBytes(CSystemInfo& info) {
    Walked(info, 1);
    const char name[] = "Evil\x1b]0;owned\x07 \"CPU\" \\";
    std::copy(name, name + sizeof name, info.brand);
}
// 0x81, a C1 control in Windows-1252, is the console's u with diaeresis.
void ANameWithBytesFrom0x80Up(CSystemInfo& info) {
    Walked(info, 1);
    const char name[] = "Caf\x82 \x81\xAE\xB8";
    std::copy(name, name + sizeof name, info.brand);
}
void AFamilyAboveNine(CSystemInfo& info) {
    Walked(info, 1);
    info.family = 0x15;
    info.model = 0x60;
    info.stepping = 0xA;
}

using Expected = std::vector<std::pair<const char*, const char*>>;

struct RecordCase : case_names::Named {
    void (*make)(CSystemInfo&);
    Expected values;
};

class JsonRecordTest : public SimTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(JsonRecordTest, SaysWhatTheReportSaysAndNullForTheUnknown) {
    CSystemInfo& info = Record();
    GetParam().make(info);
    const std::string text = JsonReport(info, JsonReportRun{});
    CheckedDocument doc;
    ASSERT_TRUE(ValidDocument(text, &doc));
    for (const auto& value : GetParam().values) EXPECT_EQ(doc[value.first], value.second) << value.first;
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonRecordTest,
    ::testing::Values(
        RecordCase{{"IntelPrintsEveryFigure"},
                   IntelWithEveryFigure,
                   {{"clock.classic_mhz", "2400.12"}, {"clock.classic_fixed_mhz", "1900.5"},
                    {"clock.alternative_2_mhz", "1900.0"}, {"clock.multiplier_max", "12.0"},
                    {"clock.multiplier_current", "9.5"}}},
        RecordCase{{"AmdPrintsNoIntelRows"},
                   AmdWithEveryFigure,
                   {{"clock.classic_mhz", "2400.12"}, {"clock.classic_fixed_mhz", "null"},
                    {"clock.alternative_1_mhz", "null"}, {"clock.multiplier_max", "null"},
                    {"clock.retained_mhz", "1901.25"}}},
        RecordCase{{"IntelWithoutPerfMsrPrintsNoMultipliers"},
                   IntelWithoutPerfMsr,
                   {{"clock.multiplier_max", "null"}, {"clock.multiplier_current", "null"},
                    {"clock.alternative_1_mhz", "1901.25"}}},
        RecordCase{{"FailedMethodsAreNullNotZero"},
                   IntelWhoseMethodsFailed,
                   {{"clock.classic_mhz", "null"}, {"clock.classic_fixed_mhz", "null"},
                    {"clock.alternative_1_mhz", "null"}, {"clock.alternative_2_mhz", "null"},
                    {"clock.multiplier_current", "null"}, {"clock.multiplier_max", "12.0"}}},
        RecordCase{{"FiguresThatPrintAsZeroAreNull"},
                   IntelWithFiguresThatPrintAsZero,
                   {{"clock.classic_mhz", "null"}, {"clock.classic_fixed_mhz", "null"},
                    {"clock.alternative_1_mhz", "0.01"}, {"clock.alternative_2_mhz", "null"},
                    {"clock.retained_mhz", "null"}, {"clock.multiplier_max", "null"},
                    {"clock.multiplier_current", "0.1"}}},
        RecordCase{{"CachesAsTheLinesSumThem"},
                   HybridCaches,
                   {{"caches.l2.0.count", "6"}, {"caches.l2.0.size_kb", "1280"}, {"caches.l2.1.count", "2"},
                    {"caches.l2.1.size_kb", "2048"}, {"caches.l3_size_kb", "24576"},
                    {"processors.1.l2.id", "8"}, {"processors.1.l2.size_kb", "2048"}, {"processors.0.l2", "null"}}},
        RecordCase{{"CachesNotFoundAreNull"}, NoCacheFound, {{"caches.l2", "null"}, {"caches.l3_size_kb", "null"}}},
        RecordCase{{"HyperThreadingAndInactiveCores"},
                   HyperThreadingOnWithInactiveCores,
                   {{"topology.hyper_threading", "\"on\""}, {"topology.inactive_cores", "1"},
                    {"topology.threads_per_core", "2"}, {"topology.logical_processors", "6"},
                    {"summary", "\"1 Processeur Monocore HT On (1 core inactif) 32 bits\""}}},
        RecordCase{{"NoThreadCountIsNull"},
                   NoThreadCountFound,
                   {{"topology.threads_per_core", "null"}, {"topology.hyper_threading", "null"},
                    {"topology.inactive_cores", "0"}}},
        RecordCase{{"AShortWalkInfersNoInactiveCores"}, AWalkThatStoppedShort, {{"topology.inactive_cores", "null"}}},
        RecordCase{{"WithoutTheFirstProcessorNoIdentification"},
                   FirstProcessorNeverReached,
                   {{"processor.family", "null"}, {"topology.packages", "null"},
                    {"topology.logical_processors", "2"}, {"processors.0.apic_id", "null"},
                    {"processors.1.apic_id", "0"}}},
        RecordCase{{"HybridCountsAndCoreTypes"},
                   HybridCoresCounted,
                   {{"topology.hybrid.performance_cores", "6"}, {"topology.hybrid.performance_threads", "12"},
                    {"topology.hybrid.efficiency_cores", "8"}, {"topology.hybrid.efficiency_threads", "8"},
                    {"processors.0.core_type", "\"performance\""}, {"processors.1.core_type", "\"efficiency\""},
                    {"processors.2.core_type", "null"}}},
        RecordCase{{"NoHybridLineNoHybridCounts"},
                   OneKindOfCore,
                   {{"topology.hybrid", "null"}, {"processors.0.core_type", "null"}}},
        RecordCase{{"TheLibraryStatus"}, LibraryNotReady, {{"hardware_access_status", "3"}}},
        RecordCase{{"ANamesBytesAreEscaped"},
                   ANameWithControlBytes,
                   {{"processor.name", "\"Evil\\u001b]0;owned\\u0007 \\\"CPU\\\" \\\\\""}}},
        RecordCase{{"ANamesHighBytesAreTheCharactersTheReportShows"},
                   ANameWithBytesFrom0x80Up,
                   {{"processor.name", "\"Caf\xC3\xA9 \xC3\xBC\xC2\xAB\xC2\xA9\""}}},
        RecordCase{{"FamilyModelAndSteppingAsNumbers"},
                   AFamilyAboveNine,
                   {{"processor.family", "21"}, {"processor.model", "96"}, {"processor.stepping", "10"}}}),
    case_names::ByName{});

TEST_F(JsonRunTest, ANamesControlBytesNeverReachTheDocumentRaw) {
    CSystemInfo& info = Walked(Record(), 1);
    ANameWithControlBytes(info);
    const std::string text = JsonReport(info, JsonReportRun{});
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.find('\x07'), std::string::npos);
}

// ---- Temperatures -----------------------------------------------------------

struct TemperatureCase : case_names::Named {
    uint8_t vendor;
    TemperatureReadings readings;
    hw::TemperatureSource source;  // what the readers that gave them recorded
    Expected values;
};

class JsonTemperatureTest : public SimTest, public ::testing::WithParamInterface<TemperatureCase> {};

TEST_P(JsonTemperatureTest, EachReadingOrNull) {
    CSystemInfo& info = Walked(Record(), 2);
    info.vendor = GetParam().vendor;
    info.intelDts = GetParam().vendor == kVendorIntel ? 1 : 0;
    info.amdThermal = GetParam().vendor == kVendorAmd ? 1 : 0;
    info.tjMax = 100;
    info.family = 0x10;
    info.extFamily = 1;
    info.temperatureSource = GetParam().source;
    JsonReportRun run;
    run.temperatures = GetParam().readings;
    CheckedDocument doc;
    ASSERT_TRUE(ValidDocument(JsonReport(info, run), &doc));
    for (const auto& value : GetParam().values) EXPECT_EQ(doc[value.first], value.second) << value.first;
}

TemperatureReadings Sensor(std::vector<std::optional<double>> celsius) {
    return TemperatureReadings{true, std::move(celsius), {}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonTemperatureTest,
    ::testing::Values(
        TemperatureCase{{"IntelOneReadingFailed"},
                        kVendorIntel,
                        Sensor({90.0, std::nullopt}),
                        hw::TemperatureSource::kMsr,
                        {{"temperatures.sensor", "true"}, {"temperatures.source", "\"msr\""},
                         {"temperatures.tj_max_c", "100"}, {"processors.0.temperature_c", "90.0"},
                         {"processors.1.temperature_c", "null"}}},
        TemperatureCase{{"IntelWithoutASensor"},
                        kVendorIntel,
                        TemperatureReadings{},
                        hw::TemperatureSource::kNone,
                        {{"temperatures.sensor", "false"}, {"temperatures.source", "null"},
                         {"temperatures.tj_max_c", "null"}, {"processors.0.temperature_c", "null"}}},
        TemperatureCase{{"AmdNothingRead"},
                        kVendorAmd,
                        Sensor({std::nullopt, std::nullopt}),
                        hw::TemperatureSource::kNone,
                        {{"temperatures.sensor", "true"}, {"temperatures.source", "null"},
                         {"temperatures.tj_max_c", "null"}}},
        TemperatureCase{{"AmdBeforeZen"},
                        kVendorAmd,
                        Sensor({58.125, -3.0}),
                        hw::TemperatureSource::kPciRegisters,
                        {{"temperatures.source", "\"pci\""}, {"processors.0.temperature_c", "58.1"},
                         {"processors.1.temperature_c", "-3.0"}, {"temperatures.ccds.0.ccd", "absent"}}},
        TemperatureCase{{"AmdWithCcdSensors"},
                        kVendorAmd,
                        TemperatureReadings{true, {50.0, 60.0}, {{0, 1, 41.04}, {1, 2, std::nullopt}}},
                        hw::TemperatureSource::kK10temp,
                        {{"temperatures.source", "\"k10temp\""}, {"temperatures.ccds.0.package", "0"},
                         {"temperatures.ccds.0.ccd", "1"}, {"temperatures.ccds.0.temperature_c", "41.0"},
                         {"temperatures.ccds.1.package", "1"}, {"temperatures.ccds.1.ccd", "2"},
                         {"temperatures.ccds.1.temperature_c", "null"}}},
        TemperatureCase{{"OtherMakersHaveNoSection"},
                        kVendorOther,
                        TemperatureReadings{},
                        hw::TemperatureSource::kNone,
                        {{"temperatures.sensor", "null"}, {"temperatures.tj_max_c", "null"}}}),
    case_names::ByName{});

}  // namespace
