#include "app/console.h"
#include "app/report.h"
#include "platform/seam.h"
#include "sysinfo/system_info.h"

int RunProgram(CSystemInfo& info, const char* dumpPath) {
    ConsolePuts("Vexmora 91");
    PrintOsLine();
    info.Detect(dumpPath);  // the report prints whatever the pass filled
    PrintReport(info);
    PrintTemperatureSection(info);
    platform::RunPause();
    return 0;
}
