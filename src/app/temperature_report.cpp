#include "app/console.h"
#include "app/report.h"
#include "sysinfo/system_info.h"

void PrintTemperatureSection(CSystemInfo& info) {
    Sleep(1200);
    if (info.vendor == kVendorAmd) {
        PrintAmdTemperatures(info);
    } else if (info.vendor == kVendorIntel) {
        PrintIntelTemperatures(info);
    }
}

namespace {

// The degree sign in the console's OEM code page.
constexpr int kDegree = 248;

void PrintInvalid(int index) {
    ConsolePrintf("Tcore%d = Invalide\n", index);
}

}  // namespace

void PrintIntelTemperatures(CSystemInfo& info) {
    if (info.intelDts != 1) {
        ConsolePuts("Support Intel DTS : Non");
        return;
    }
    ConsolePuts("Support Intel DTS : Oui");
    ConsolePrintf("Tj(Max) = %d%cC\n", info.tjMax, kDegree);
    for (int i = 0; i < info.LogicalCount(); ++i) {
        double t = 0.0;
        if (info.ReadIntelTemperature(i, &t) != 1) {
            PrintInvalid(i);
        } else if (info.packageCount > 1) {
            const ApicEntry& e = info.processors[static_cast<size_t>(i)].apic;
            ConsolePrintf("Tcpu%ucore%u = %.1f%cC\n", e.packageId, e.coreId, t, kDegree);
        } else {
            ConsolePrintf("Tcore%d = %.1f%cC\n", i, t, kDegree);
        }
    }
}

void PrintAmdTemperatures(CSystemInfo& info) {
    if (info.amdThermal != 1) {
        ConsolePuts("Support AMD TTP : Non");
        return;
    }
    ConsolePuts("Support AMD TTP : Oui");
    for (int i = 0; i < info.LogicalCount(); ++i) {
        double t = 0.0;
        if (info.ReadAmdTemperature(i, &t) == 1) {
            ConsolePrintf("Tcore%d = %.1f%cC\n", i, t, kDegree);
        } else {
            PrintInvalid(i);
        }
    }
}

void PrintIntelTemperatures() {
    PrintIntelTemperatures(systemInfo);
}

void PrintAmdTemperatures() {
    PrintAmdTemperatures(systemInfo);
}
