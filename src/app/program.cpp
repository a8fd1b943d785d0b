#include "app/console.h"
#include "app/report.h"
#include "platform/seam.h"
#include "sysinfo/system_info.h"

namespace {

// A report that did not reach its reader never ends in success. A closed pipe
// ends as a shell shows a process killed by SIGPIPE (128 + 13), without a message.
constexpr int kWriteFailedStatus = 1;
constexpr int kReaderGoneStatus = 141;

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
