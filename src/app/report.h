// The printed report: OS line, the record's lines, the summary and the temperatures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CSystemInfo;

// The OS line for a Windows version, without its line end.
void FormatWindowsVersion(uint32_t major, uint32_t minor, uint8_t productType, char* line, size_t size);
void PrintOsLine();

// The processor name as the report prints it, up to its first NUL. A name
// read from a dump is anyone's text: its control bytes (below 0x20, and 0x7F)
// become '?', so that a crafted dump cannot drive the terminal. A live
// processor's name is given as the processor gives it.
std::string ReportedName(const CSystemInfo& info);

void PrintReport(const CSystemInfo& info);
void PrintSummaryLine(const CSystemInfo& info);

// The 1200 ms wait and the section of the processor's vendor.
void PrintTemperatureSection(CSystemInfo& info);
void PrintIntelTemperatures(CSystemInfo& info);
void PrintAmdTemperatures(CSystemInfo& info);
// The same, on the global record.
void PrintIntelTemperatures();
void PrintAmdTemperatures();

// The whole run on a record: banner, OS line, detection, report, temperatures,
// "pause". The program itself passes no dump; the replay tool passes its file.
// Returns the exit status: 0, 1 when the report could not be written, 141 when
// the pipe's reader had gone.
int RunProgram(CSystemInfo& info, const char* dumpPath = nullptr);

// The program's entry: the run above, or only what the platform's command line
// asks for. Returns RunProgram's status, that of writing the layer's answer, or
// 2 for a refused command line (nothing measured, no key awaited).
int RunCommandLine(CSystemInfo& info, int argc, const char* const* argv);
