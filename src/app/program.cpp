#include "app/console.h"
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

}  // namespace

int RunProgram(CSystemInfo& info, const char* dumpPath) {
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
        case platform::CommandLine::kAnswered: return ExitStatus(platform::FinishReport());
        case platform::CommandLine::kRefused: break;
    }
    return kUsageStatus;
}
