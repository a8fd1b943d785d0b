// The printed report: the OS line, the rows and their conditions, the summary line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/report.h"
#include "case_names.h"
#include "sim_test_support.h"

namespace {

struct VersionCase {
    uint32_t major;
    uint32_t minor;
    uint8_t productType;
    const char* line;
};

class WindowsVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(WindowsVersionTest, NamesTheVersion) {
    const VersionCase& c = GetParam();
    char line[128];
    FormatWindowsVersion(c.major, c.minor, c.productType, line, sizeof line);
    EXPECT_STREQ(line, c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsVersionTest,
    ::testing::Values(VersionCase{0, 0, 0, "OS : Windows (version non supportee)"},
                      VersionCase{4, 10, 1, "OS : Windows (version non supportee)"},
                      VersionCase{5, 0, 3, "OS : Windows 2000"},
                      VersionCase{5, 1, 1, "OS : Windows XP"},
                      VersionCase{5, 2, 1, "OS : Windows XP 64bit"},
                      VersionCase{5, 2, 0, "OS : Windows Server 2003"},
                      VersionCase{5, 3, 1, "OS : Windows (Major=5 Minor=3)"},
                      VersionCase{6, 0, 1, "OS : Windows Vista"},
                      VersionCase{6, 0, 3, "OS : Windows Server 2008"},
                      VersionCase{6, 1, 1, "OS : Windows 7"},
                      VersionCase{6, 1, 3, "OS : Windows Server 2008 R2"},
                      VersionCase{6, 2, 1, "OS : Windows (Major=6 Minor=2)"},
                      VersionCase{6, 3, 3, "OS : Windows (Major=6 Minor=3)"},
                      VersionCase{10, 0, 1, "OS : Windows (Major=10 Minor=0)"}),
    case_names::ByText<&VersionCase::line>{});

class ReportTest : public SimTest {};

TEST_F(ReportTest, OsLineFallsBackToTheBasicQuery) {
    machine->osMajor = 5;
    machine->osMinor = 2;
    machine->osProductType = VER_NT_WORKSTATION;
    machine->failExtendedVersionQuery = true;
    PrintOsLine();
    // The product type stays 0 from the zero fill: a server, not XP 64bit.
    EXPECT_EQ(machine->output, "OS : Windows Server 2003\n");
    EXPECT_EQ(machine->versionQuerySizes, (std::vector<DWORD>{156, 148}));
}

TEST_F(ReportTest, OsLineWhenBothQueriesFail) {
    machine->failExtendedVersionQuery = true;
    machine->failBasicVersionQuery = true;
    PrintOsLine();
    EXPECT_EQ(machine->output, "OS : Windows (version non supportee)\n");
}

TEST_F(ReportTest, AHostThatIsNotWindowsNamesItself) {
    machine->hostOsLine = "OS : Linux 6.1.0";
    PrintOsLine();
    EXPECT_EQ(machine->output, "OS : Linux 6.1.0\n");
    EXPECT_TRUE(machine->versionQuerySizes.empty());
}

TEST_F(ReportTest, AfterAnAffinityErrorTheReportShowsTheDefaults) {
    sim::Machine& m = NewMachine(4);
    m.failAffinityQuery = true;
    m.library.present = false;

    EXPECT_EQ(RunWholeProgram(), 0);

    EXPECT_EQ(m.output,
              "Vexmora 91\n"
              "OS : Windows (Major=10 Minor=0)\n"
              "WinRing0 Status : erreur 9\n"
              "\n"
              "CPU : \n"
              "CPU Family 00 Model 00 Stepping 0\n"
              "ConstTSC=0 PerfMSR=0\n"
              "Methode classique : 0.00 MHz\n"
              "Frequence retenue : 0.00 MHz\n"
              "Nombre de processeurs physiques : 1\n"
              "Nombre max de cores par CPU : 1\n"
              "Nombre max de thread par CPU : 1\n"
              "Nombre max de thread par core : 0\n"
              "Nombre total de processeurs logiques : 1\n"
              " . CPU0 : Apic=0 Phy=0 Core=0 Log=0\n"
              "Cache L2 : 1 x 0 Ko\n"
              "Cache L3 : 0 Ko\n"
              "1 Processeur Monocore 32 bits\n");
    EXPECT_EQ(m.messageBoxes.size(), 2u);
    EXPECT_EQ(m.pauseCount, 1);
    // The temperature section's wait happens even where no section is printed.
    ASSERT_FALSE(m.sleeps.empty());
    EXPECT_EQ(m.sleeps.back(), 1200u);
}

struct DeliveryCase {
    const char* name;
    platform::ReportDelivery delivery;
    int status;
};

class ExitStatusTest : public SimTest, public ::testing::WithParamInterface<DeliveryCase> {};

// The whole run still happens; only the exit status tells how the report went.
TEST_P(ExitStatusTest, FollowsHowTheReportWasDelivered) {
    machine->reportDelivery = GetParam().delivery;
    EXPECT_EQ(RunWholeProgram(), GetParam().status);
    EXPECT_EQ(machine->finishCount, 1);
    EXPECT_EQ(machine->pauseCountAtFinish, 1) << "asked after the pause, when nothing more is written";
    EXPECT_NE(machine->output.find(" bits\n"), std::string::npos) << "the report ran to its summary line";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatusTest,
    ::testing::Values(DeliveryCase{"Written", platform::ReportDelivery::kWritten, 0},
                      DeliveryCase{"WriteFailed", platform::ReportDelivery::kFailed, 1},
                      DeliveryCase{"PipeReaderGone", platform::ReportDelivery::kReaderGone, 141}),
    case_names::ByName{});

// Whether the run measured the processor, printed the report and waited for a key.
enum class Run { kWholeReport, kNothing };

struct CommandLineCase {
    const char* name;
    platform::CommandLine answer;
    platform::ReportDelivery delivery;
    int status;
    Run run;
};

class CommandLineTest : public SimTest, public ::testing::WithParamInterface<CommandLineCase> {};

// Only a plain run measures and waits for a key; the layer's answer ends as
// a report does, by how its writing went; a refusal ends at once with 2.
TEST_P(CommandLineTest, RunsTheReportOnlyWhenTheLayerAsksForIt) {
    const CommandLineCase& c = GetParam();
    const bool reported = c.run == Run::kWholeReport;
    machine->commandLine = c.answer;
    machine->reportDelivery = c.delivery;
    const char* const argv[] = {"vexmora", "--option"};
    EXPECT_EQ(RunCommandLine(Record(), 2, argv), c.status);
    EXPECT_EQ(machine->arguments, (std::vector<std::string>{"vexmora", "--option"}));
    EXPECT_EQ(machine->pauseCount, reported ? 1 : 0);
    EXPECT_EQ(machine->cpuidExecutions > 0, reported) << "the processor is examined only for a report";
    EXPECT_EQ(machine->sleeps.empty(), !reported) << "the timed waits happen only for a report";
    EXPECT_EQ(machine->output.find("Vexmora 91") != std::string::npos, reported);
    EXPECT_EQ(machine->finishCount, c.answer == platform::CommandLine::kRefused ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineTest,
    ::testing::Values(
        CommandLineCase{"Report", platform::CommandLine::kReport, platform::ReportDelivery::kWritten, 0, Run::kWholeReport},
        CommandLineCase{"AnswerWritten", platform::CommandLine::kAnswered, platform::ReportDelivery::kWritten, 0, Run::kNothing},
        CommandLineCase{"AnswerNotWritten", platform::CommandLine::kAnswered, platform::ReportDelivery::kFailed, 1, Run::kNothing},
        CommandLineCase{"Refused", platform::CommandLine::kRefused, platform::ReportDelivery::kWritten, 2, Run::kNothing}),
    case_names::ByName{});

TEST_F(ReportTest, NoStatusLineWhenTheLibraryIsReady) {
    CSystemInfo& info = Record();
    info.driverStatus = 0;
    PrintReport(info);
    EXPECT_EQ(machine->output.find("WinRing0"), std::string::npos);
    EXPECT_EQ(machine->output.rfind("CPU : \n", 0), 0u);
}

// A name from a dump may hold any byte: every control byte prints as '?', the
// rest as given. A live processor's name is printed as the processor gives it.
TEST_F(ReportTest, NameFromADumpPrintsControlBytesAsQuestionMarks) {
    CSystemInfo& info = Record();
    info.driverStatus = 0;
    const char name[] = "\x1B[2J\aIntel\x7F(R)\tCore\x1F\x20\x80\xFF";
    std::memcpy(info.brand, name, sizeof name);

    info.cpuid.fromDump = true;
    EXPECT_EQ(ReportedName(info), "?[2J?Intel?(R)?Core? \x80\xFF");
    PrintReport(info);
    EXPECT_EQ(machine->output.rfind("CPU : ?[2J?Intel?(R)?Core? \x80\xFF\n", 0), 0u) << machine->output;

    info.cpuid.fromDump = false;
    EXPECT_EQ(ReportedName(info), name);
}

// Forty-eight bytes with no NUL: the name ends with the buffer.
TEST_F(ReportTest, NameWithoutNulEndsWithItsBuffer) {
    CSystemInfo& info = Record();
    std::memset(info.brand, 'x', sizeof info.brand);
    for (const bool fromDump : {false, true}) {
        info.cpuid.fromDump = fromDump;
        EXPECT_EQ(ReportedName(info), std::string(sizeof info.brand, 'x'));
    }
}

TEST_F(ReportTest, IntelWithBothFlagsPrintsEveryFrequencyRow) {
    PrintReport(MeasuredRecord(Record(), 1, 1, 1));
    const std::string& out = machine->output;
    EXPECT_NE(out.find("ConstTSC=1 PerfMSR=1\n"
                       "CoefMaxi=12.0 CoefActuel=9.5\n"
                       "Methode classique : 2400.12 MHz\n"
                       "Methode classique fixed : 1900.50 MHz\n"
                       "Methode alternative 1 : 1901.25 MHz\n"
                       "Methode alternative 2 : 1900.00 MHz\n"
                       "Frequence retenue : 1901.25 MHz\n"),
              std::string::npos)
        << out;
}

TEST_F(ReportTest, VendorAndFlagsGateTheIntelRows) {
    PrintReport(MeasuredRecord(Record(), 2, 1, 1));
    EXPECT_EQ(machine->output.find("Coef"), std::string::npos);
    EXPECT_EQ(machine->output.find("fixed"), std::string::npos);
    EXPECT_EQ(machine->output.find("alternative"), std::string::npos);

    machine->output.clear();
    PrintReport(MeasuredRecord(Record(), 1, 1, 0));
    EXPECT_EQ(machine->output.find("Coef"), std::string::npos);
    EXPECT_NE(machine->output.find("Methode alternative 2"), std::string::npos);
}

TEST_F(ReportTest, ZeroNegativeAndNanFrequenciesSuppressTheirRows) {
    CSystemInfo& info = MeasuredRecord(Record(), 1, 1, 1);
    info.freqClassicFixed = 0.0;
    info.freqAlt1 = -5.0;
    info.freqAlt2 = std::nan("");
    PrintReport(info);
    EXPECT_EQ(machine->output.find("fixed"), std::string::npos);
    EXPECT_EQ(machine->output.find("alternative"), std::string::npos);
}

TEST_F(ReportTest, ApicLinesAndCacheLines) {
    CSystemInfo& info = Record();
    AsIfWalked(info, 2);
    info.processors[0].apic = ApicEntry{0, 0, 0, 0};
    info.processors[1].apic = ApicEntry{0x13, 1, 1, 1};
    info.l2Count = 4;
    info.l2SizeKb = 256;
    info.l3SizeKb = 8192;
    PrintReport(info);
    EXPECT_NE(machine->output.find("Nombre total de processeurs logiques : 2\n"
                                   " . CPU0 : Apic=0 Phy=0 Core=0 Log=0\n"
                                   " . CPU1 : Apic=19 Phy=1 Core=1 Log=1\n"
                                   "Cache L2 : 4 x 256 Ko\n"
                                   "Cache L3 : 8192 Ko\n"),
              std::string::npos);
}

struct SummaryLineCase {
    uint8_t packageCount;
    uint8_t coresPerPackage;
    uint8_t htState;
    uint8_t inactiveCores;
    uint16_t features;
    const char* line;
};

class SummaryLineTest : public SimTest, public ::testing::WithParamInterface<SummaryLineCase> {};

TEST_P(SummaryLineTest, AssemblesThePieces) {
    const SummaryLineCase& c = GetParam();
    CSystemInfo& info = Record();
    info.packageCount = c.packageCount;
    info.coresPerPackage = c.coresPerPackage;
    info.htState = c.htState;
    info.inactiveCores = c.inactiveCores;
    info.features = c.features;
    PrintSummaryLine(info);
    EXPECT_EQ(machine->output, c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, SummaryLineTest,
    ::testing::Values(SummaryLineCase{1, 4, 2, 0, 0x0020, "1 Processeur Quadcore HT On 64 bits\n"},
                      SummaryLineCase{2, 6, 0, 1, 0x0FFF, "2 Processeurs Hexacore (1 core inactif) 64 bits\n"},
                      SummaryLineCase{2, 6, 0, 3, 0x0020, "2 Processeurs Hexacore (3 cores inactifs) 64 bits\n"},
                      SummaryLineCase{1, 2, 1, 0, 0x001F, "1 Processeur Dualcore HT Off 32 bits\n"},
                      SummaryLineCase{0, 1, 0, 0, 0, "0 Processeurs Monocore 32 bits\n"},
                      SummaryLineCase{1, 3, 3, 0, 0, "1 Processeur Tricore 32 bits\n"},
                      SummaryLineCase{1, 8, 0, 0, 0x20, "1 Processeur Octocore 64 bits\n"},
                      SummaryLineCase{1, 5, 0, 0, 0, "1 Processeur Multicore 32 bits\n"},
                      SummaryLineCase{1, 12, 0, 0, 0, "1 Processeur Multicore 32 bits\n"},
                      SummaryLineCase{1, 0, 0, 0, 0, "1 Processeur Multicore 32 bits\n"}),
    case_names::ByText<&SummaryLineCase::line>{});

}  // namespace
