#include "app/console.h"
#include "app/report.h"
#include "platform/seam.h"
#include "sysinfo/system_info.h"

int RunProgram(CSystemInfo& info) {
    ConsolePuts("Vexmora 91");
    PrintOsLine();
    info.Detect(nullptr);  // the report prints whatever the pass filled
    PrintReport(info);
    PrintTemperatureSection(info);
    platform::RunPause();
    return 0;
}
