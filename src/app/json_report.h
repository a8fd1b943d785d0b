// The report as one JSON document, for programs: everything the French report
// says, as data. doc/vexmora.schema.json describes it.
#pragma once

#include <string>
#include <vector>

#include "app/report.h"

class CSystemInfo;

// Raised whenever a key's meaning changes, or one goes; new keys do not raise it.
constexpr int kJsonSchemaVersion = 1;

// What the document holds beside the record.
struct JsonReportRun {
    const char* program = "vexmora";  // "vexmora-replay" for a replayed dump
    std::string osLine;               // as the French report prints it
    TemperatureReadings temperatures;
    std::vector<std::string> messages;  // the lines the run wrote to standard error, UTF-8
};

std::string JsonReport(const CSystemInfo& info, const JsonReportRun& run);
