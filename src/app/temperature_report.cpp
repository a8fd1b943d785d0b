#include "app/console.h"
#include "app/report.h"
#include "sysinfo/system_info.h"

void PrintTemperatureSection(CSystemInfo& info) {
    Sleep(1200);
    if (info.vendor == 2) {
        PrintAmdTemperatures(info);
    } else if (info.vendor == 1) {
        PrintIntelTemperatures(info);
    }
}

void PrintIntelTemperatures(CSystemInfo& /*info*/) {}

void PrintAmdTemperatures(CSystemInfo& /*info*/) {}

void PrintIntelTemperatures() {
    PrintIntelTemperatures(systemInfo);
}

void PrintAmdTemperatures() {
    PrintAmdTemperatures(systemInfo);
}
