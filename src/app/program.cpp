#include <string>

#include "app/console.h"
#include "app/json_report.h"
#include "app/report.h"
#include "platform/seam.h"
#include "sysinfo/system_info.h"

namespace {

// A report that did not reach its reader never ends in success. A closed pipe
// ends as a shell shows a process killed by SIGPIPE (128 + 13), without a message.
constexpr int kWriteFailedStatus = 1;
constexpr int kReaderGoneStatus = 141;
// An argument the platform's command line does not take, as Linux tools do.
constexpr int kUsageStatus = 2;

int ExitStatus(platform::ReportDelivery delivery) {
    switch (delivery) {
        case platform::ReportDelivery::kWritten: return 0;
        case platform::ReportDelivery::kReaderGone: return kReaderGoneStatus;
        case platform::ReportDelivery::kFailed: break;
    }
    return kWriteFailedStatus;
}

// The same run as the French report's, waits included, for a program to read:
// no banner and no key to wait for, even at a terminal.
int RunJsonReport(CSystemInfo& info, const char* dumpPath) {
    JsonReportRun run;
    // A replay reports the machine its dump describes.
    if (dumpPath != nullptr) run.program = "vexmora-replay";
    char osLine[128];
    FormatOsLine(osLine, sizeof osLine);
    run.osLine = osLine;
    info.Detect(dumpPath);  // the document holds whatever the pass filled
    run.temperatures = ReadTemperatureSection(info);
    run.messages = platform::NotesWritten();
    const std::string document = JsonReport(info, run);
    platform::WriteDocument(document.data(), document.size());
    return ExitStatus(platform::FinishReport());
}

}  // namespace

int RunProgram(CSystemInfo& info, const char* dumpPath, ReportForm form) {
    if (form == ReportForm::kJson) return RunJsonReport(info, dumpPath);
    ConsolePuts("Vexmora 91");
    PrintOsLine();
    info.Detect(dumpPath);  // the report prints whatever the pass filled
    PrintReport(info);
    PrintTemperatureSection(info);
    platform::RunPause();
    return ExitStatus(platform::FinishReport());
}

int RunCommandLine(CSystemInfo& info, int argc, const char* const* argv) {
    switch (platform::ReadCommandLine(argc, argv)) {
        case platform::CommandLine::kReport: return RunProgram(info);
        case platform::CommandLine::kJson: return RunProgram(info, nullptr, ReportForm::kJson);
        case platform::CommandLine::kAnswered: return ExitStatus(platform::FinishReport());
        case platform::CommandLine::kRefused: break;
    }
    return kUsageStatus;
}
