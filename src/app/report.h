// The printed report: OS line, the record's lines, the summary and the temperatures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sysinfo/system_info.h"

// The OS line for a Windows version, without its line end.
void FormatWindowsVersion(uint32_t major, uint32_t minor, uint8_t productType, char* line, size_t size);
// The OS line of this host, without its line end: its own description, or the Windows version table.
void FormatOsLine(char* line, size_t size);
void PrintOsLine();

// The processor name as the report prints it, up to its first NUL. A name
// read from a dump is anyone's text: its control bytes (below 0x20, and 0x7F)
// become '?', so that a crafted dump cannot drive the terminal. A live
// processor's name is given as the processor gives it.
std::string ReportedName(const CSystemInfo& info);

void PrintReport(const CSystemInfo& info);
// The summary line's text, without its line end.
std::string SummaryLine(const CSystemInfo& info);
void PrintSummaryLine(const CSystemInfo& info);

// What the temperature section read: whether the vendor's sensor is supported
// (its support line says "Oui") and then one reading per walked processor, in
// walk order, empty where the reading failed; then, on AMD, the CCDs' readings
// the system gives. No sensor, no readings.
struct TemperatureReadings {
    bool sensor = false;
    std::vector<std::optional<double>> celsius;
    std::vector<CcdTemperature> ccds;
};

// The 1200 ms wait, then the readings of the processor's vendor's section.
TemperatureReadings ReadTemperatureSection(CSystemInfo& info);
// The section of the processor's vendor, from its readings.
void PrintTemperatures(const CSystemInfo& info, const TemperatureReadings& readings);
// The 1200 ms wait and the section of the processor's vendor.
void PrintTemperatureSection(CSystemInfo& info);
void PrintIntelTemperatures(CSystemInfo& info);
void PrintAmdTemperatures(CSystemInfo& info);
// The same, on the global record.
void PrintIntelTemperatures();
void PrintAmdTemperatures();

// The report as the French text a person reads, or as one JSON document for
// programs (no banner, no key prompt; the same measurements and waits).
enum class ReportForm { kFrench, kJson };

// The whole run on a record: banner, OS line, detection, report, temperatures,
// "pause". The program itself passes no dump; the replay tool passes its file.
// Returns the exit status: 0, 1 when the report could not be written, 141 when
// the pipe's reader had gone.
int RunProgram(CSystemInfo& info, const char* dumpPath = nullptr, ReportForm form = ReportForm::kFrench);

// The program's entry: the run above, or only what the platform's command line
// asks for. Returns RunProgram's status, that of writing the layer's answer, or
// 2 for a refused command line (nothing measured, no key awaited).
int RunCommandLine(CSystemInfo& info, int argc, const char* const* argv);
