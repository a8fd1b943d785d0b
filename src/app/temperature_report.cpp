#include "app/console.h"
#include "app/report.h"
#include "sysinfo/system_info.h"

namespace {

// Between the summary line and the readings, as the report has always waited.
constexpr DWORD kTemperatureWaitMs = 1200;

// The degree sign in the console's OEM code page.
constexpr int kDegree = 248;

using Reader = int (CSystemInfo::*)(int cpu, double* out);

// One reading per walked processor, in order, where the sensor is supported.
TemperatureReadings ReadEach(CSystemInfo& info, bool sensor, Reader read) {
    TemperatureReadings readings;
    readings.sensor = sensor;
    if (!sensor) return readings;
    for (int i = 0; i < info.LogicalCount(); ++i) {
        double t = 0.0;
        if ((info.*read)(i, &t) == 1) {
            readings.celsius.emplace_back(t);
        } else {
            readings.celsius.emplace_back();
        }
    }
    return readings;
}

TemperatureReadings ReadIntelTemperatures(CSystemInfo& info) {
    return ReadEach(info, info.intelDts == 1, &CSystemInfo::ReadIntelTemperature);
}

TemperatureReadings ReadAmdTemperatures(CSystemInfo& info) {
    TemperatureReadings readings = ReadEach(info, info.amdThermal == 1, &CSystemInfo::ReadAmdTemperature);
    readings.ccds = info.ReadCcdTemperatures();
    return readings;
}

void PrintInvalid(size_t index) {
    ConsolePrintf("Tcore%d = Invalide\n", static_cast<int>(index));
}

void PrintIntelSection(const CSystemInfo& info, const TemperatureReadings& readings) {
    if (!readings.sensor) {
        ConsolePuts("Support Intel DTS : Non");
        return;
    }
    ConsolePuts("Support Intel DTS : Oui");
    ConsolePrintf("Tj(Max) = %d%cC\n", info.tjMax, kDegree);
    for (size_t i = 0; i < readings.celsius.size(); ++i) {
        const std::optional<double>& t = readings.celsius[i];
        if (!t) {
            PrintInvalid(i);
        } else if (info.packageCount > 1) {
            const ApicEntry& e = info.processors[i].apic;
            ConsolePrintf("Tcpu%ucore%u = %.1f%cC\n", e.packageId, e.coreId, *t, kDegree);
        } else {
            ConsolePrintf("Tcore%d = %.1f%cC\n", static_cast<int>(i), *t, kDegree);
        }
    }
}

// A CCD's line, as its node's driver names it; with several packages it says
// which one, in the words of the report's "processeurs physiques" and Phy=.
void PrintCcd(const CSystemInfo& info, const CcdTemperature& ccd) {
    if (info.packageCount > 1) {
        ConsolePrintf("Tccd%u (processeur physique %u) = ", ccd.ccd, ccd.package);
    } else {
        ConsolePrintf("Tccd%u = ", ccd.ccd);
    }
    if (ccd.celsius) {
        ConsolePrintf("%.1f%cC\n", *ccd.celsius, kDegree);
    } else {
        ConsolePuts("Invalide");
    }
}

void PrintAmdSection(const CSystemInfo& info, const TemperatureReadings& readings) {
    if (!readings.sensor) {
        ConsolePuts("Support AMD TTP : Non");
        return;
    }
    ConsolePuts("Support AMD TTP : Oui");
    for (size_t i = 0; i < readings.celsius.size(); ++i) {
        const std::optional<double>& t = readings.celsius[i];
        if (t) {
            ConsolePrintf("Tcore%d = %.1f%cC\n", static_cast<int>(i), *t, kDegree);
        } else {
            PrintInvalid(i);
        }
    }
    for (const CcdTemperature& ccd : readings.ccds) PrintCcd(info, ccd);
}

}  // namespace

TemperatureReadings ReadTemperatureSection(CSystemInfo& info) {
    Sleep(kTemperatureWaitMs);
    if (info.vendor == kVendorAmd) return ReadAmdTemperatures(info);
    if (info.vendor == kVendorIntel) return ReadIntelTemperatures(info);
    return TemperatureReadings{};
}

void PrintTemperatures(const CSystemInfo& info, const TemperatureReadings& readings) {
    if (info.vendor == kVendorAmd) {
        PrintAmdSection(info, readings);
    } else if (info.vendor == kVendorIntel) {
        PrintIntelSection(info, readings);
    }
}

void PrintTemperatureSection(CSystemInfo& info) {
    PrintTemperatures(info, ReadTemperatureSection(info));
}

void PrintIntelTemperatures(CSystemInfo& info) {
    PrintIntelSection(info, ReadIntelTemperatures(info));
}

void PrintAmdTemperatures(CSystemInfo& info) {
    PrintAmdSection(info, ReadAmdTemperatures(info));
}

void PrintIntelTemperatures() {
    PrintIntelTemperatures(systemInfo);
}

void PrintAmdTemperatures() {
    PrintAmdTemperatures(systemInfo);
}
