#include "app/json_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "app/json_writer.h"
#include "platform/shared/console_text.h"
#include "sysinfo/system_info.h"

namespace {

using Layout = JsonWriter::Layout;

// What the walk learnt of one processor, as the document says it.
struct WalkedProcessor {
    int systemNumber = 0;
    bool reached = false;  // pinned: its APIC split, caches and core type were read
    ApicEntry apic{};
    std::optional<CacheInstance> l2;
    std::optional<CacheInstance> l3;
    const char* coreType = nullptr;  // null where the processor states no kind we know
};

size_t ProcessorCount(const CSystemInfo& info) {
    return info.LogicalCount();
}

const char* CoreTypeName(CoreType type) {
    switch (type) {
        case CoreType::kPerformance: return "performance";
        case CoreType::kEfficiency: return "efficiency";
        case CoreType::kNotStated:
        case CoreType::kUnknown: break;
    }
    return nullptr;
}

WalkedProcessor Processor(const CSystemInfo& info, size_t index) {
    WalkedProcessor p;
    const ProcessorEntry* entry = info.EntryAt(static_cast<int>(index));
    if (entry == nullptr) return p;
    p.systemNumber = entry->systemNumber;
    p.reached = entry->walked;
    if (!p.reached) return p;
    p.apic = entry->apic;
    if (entry->caches.flags & kListsL2) p.l2 = entry->caches.l2;
    if (entry->caches.flags & kListsL3) p.l3 = entry->caches.l3;
    p.coreType = CoreTypeName(entry->coreType);
    return p;
}

// The first-processor passes ran: the identification, clock, features and counts are the processor's.
bool Identified(const CSystemInfo& info) {
    return ProcessorCount(info) > 0 && Processor(info, 0).reached;
}

bool AnyProcessorReached(const CSystemInfo& info) {
    for (size_t i = 0; i < ProcessorCount(info); ++i) {
        if (Processor(info, i).reached) return true;
    }
    return false;
}

// The record's texts are the bytes the report prints, which its console shows
// in code page 850: decoded so, a name's bytes from 0x80 up are the very
// characters of the report's line. An empty one is unknown.
void Text(JsonWriter& w, const std::string& reportBytes) {
    if (reportBytes.empty()) {
        w.Null();
    } else {
        w.String(platform::CodePage850ToUtf8(reportBytes.data(), reportBytes.size()));
    }
}

// A count or a size of 0 is one the program could not find.
void Positive(JsonWriter& w, uint64_t value) {
    if (value == 0) {
        w.Null();
    } else {
        w.Integer(static_cast<int64_t>(value));
    }
}

// Whether the report's "%.Nf" of the value shows more than zero: 0.004 MHz
// prints as 0.00, which says no more than a method that gave nothing.
bool PrintsAboveZero(double value, int decimals) {
    if (!(value > 0)) return false;
    char text[kDecimalTextSize];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return std::strpbrk(text, "123456789") != nullptr;
}

// A figure the report prints, with its decimals; null where the report
// leaves the line out, or the method gave nothing the line can show.
void Figure(JsonWriter& w, bool printed, double value, int decimals) {
    if (printed && PrintsAboveZero(value, decimals)) {
        w.Decimal(value, decimals);
    } else {
        w.Null();
    }
}

void WriteProcessorIdentity(JsonWriter& w, const CSystemInfo& info) {
    const bool known = Identified(info);
    w.Key("processor").BeginObject();
    w.Key("vendor");
    const char* vendorEnd = std::find(info.vendorName, info.vendorName + sizeof info.vendorName, '\0');
    Text(w, known ? std::string(info.vendorName, vendorEnd) : "");
    w.Key("name");
    Text(w, known ? ReportedName(info) : "");
    const auto byte = [&w, known](const char* key, uint8_t value) {
        w.Key(key);
        if (known) {
            w.Integer(value);
        } else {
            w.Null();
        }
    };
    byte("family", info.family);
    byte("model", info.model);
    byte("stepping", info.stepping);
    w.Key("features").BeginObject();
    const auto flag = [&w, known](const char* key, bool value) {
        w.Key(key);
        if (known) {
            w.Bool(value);
        } else {
            w.Null();
        }
    };
    flag("constant_tsc", info.constTsc == 1);
    flag("performance_msr", info.perfMsr == 1);
    flag("long_mode", (info.features & kFeatureLongMode) != 0);
    w.EndObject();
    w.EndObject();
}

// The rows of the report's clock lines, under the same conditions.
void WriteClock(JsonWriter& w, const CSystemInfo& info) {
    const bool intel = info.vendor == kVendorIntel;
    const bool multipliers = intel && info.constTsc == 1 && info.perfMsr == 1;
    w.Key("clock").BeginObject();
    w.Key("classic_mhz");
    Figure(w, true, info.freqClassic, 2);
    w.Key("classic_fixed_mhz");
    Figure(w, intel, info.freqClassicFixed, 2);
    w.Key("alternative_1_mhz");
    Figure(w, intel, info.freqAlt1, 2);
    w.Key("alternative_2_mhz");
    Figure(w, intel, info.freqAlt2, 2);
    w.Key("retained_mhz");
    Figure(w, true, info.freqRetained, 2);
    w.Key("multiplier_max");
    Figure(w, multipliers, info.coefMax, 1);
    w.Key("multiplier_current");
    Figure(w, multipliers, info.coefCurrent, 1);
    w.EndObject();
}

// As the report's "Cores hybrides" line, where it prints one.
void WriteHybrid(JsonWriter& w, const CSystemInfo& info) {
    const HybridCores& hybrid = info.hybridCores;
    w.Key("hybrid");
    if (hybrid.performanceCores == 0 || hybrid.efficiencyCores == 0) {
        w.Null();
        return;
    }
    w.BeginObject();
    w.Key("performance_cores").Integer(hybrid.performanceCores);
    w.Key("performance_threads").Integer(hybrid.performanceThreads);
    w.Key("efficiency_cores").Integer(hybrid.efficiencyCores);
    w.Key("efficiency_threads").Integer(hybrid.efficiencyThreads);
    w.EndObject();
}

void WriteTopology(JsonWriter& w, const CSystemInfo& info) {
    const bool known = Identified(info);
    w.Key("topology").BeginObject();
    w.Key("packages");
    Positive(w, known ? info.packageCount : 0);
    w.Key("cores_per_package");
    Positive(w, known ? info.coresPerPackage : 0);
    w.Key("threads_per_package");
    Positive(w, known ? info.threadsPerPackage : 0);
    w.Key("threads_per_core");
    Positive(w, known ? info.threadsPerCore : 0);
    w.Key("logical_processors");
    Positive(w, AnyProcessorReached(info) ? info.LogicalCount() : 0);
    w.Key("hyper_threading");
    if (known && info.htState == kHtOn) {
        w.String("on");
    } else if (known && info.htState == kHtOff) {
        w.String("off");
    } else {
        w.Null();
    }
    // A walk that may have missed processors infers none.
    w.Key("inactive_cores");
    if (known && info.walkStoppedShort == 0) {
        w.Integer(info.inactiveCores);
    } else {
        w.Null();
    }
    WriteHybrid(w, info);
    w.EndObject();
}

void WriteCache(JsonWriter& w, const std::optional<CacheInstance>& cache) {
    if (!cache) {
        w.Null();
        return;
    }
    w.BeginObject();
    w.Key("id").Integer(cache->id);
    w.Key("size_kb");
    Positive(w, cache->sizeKb);
    w.EndObject();
}

void WriteProcessors(JsonWriter& w, const CSystemInfo& info, const TemperatureReadings& temperatures) {
    w.Key("processors").BeginArray();
    for (size_t i = 0; i < ProcessorCount(info); ++i) {
        const WalkedProcessor p = Processor(info, i);
        w.BeginObject(Layout::kOneLine);
        w.Key("system_number").Integer(p.systemNumber);
        const auto field = [&w, &p](const char* key, uint32_t value) {
            w.Key(key);
            if (p.reached) {
                w.Integer(value);
            } else {
                w.Null();
            }
        };
        field("apic_id", p.apic.apicId);
        field("package", p.apic.packageId);
        field("core", p.apic.coreId);
        field("thread", p.apic.threadId);
        w.Key("core_type");
        if (p.coreType != nullptr) {
            w.String(p.coreType);
        } else {
            w.Null();
        }
        w.Key("l2");
        WriteCache(w, p.l2);
        w.Key("l3");
        WriteCache(w, p.l3);
        w.Key("temperature_c");
        if (i < temperatures.celsius.size() && temperatures.celsius[i]) {
            w.Decimal(*temperatures.celsius[i], 1);
        } else {
            w.Null();
        }
        w.EndObject();
    }
    w.EndArray();
}

// The cache lines' figures: the L2 line's kinds, the L3 line's size.
void WriteCaches(JsonWriter& w, const CSystemInfo& info) {
    w.Key("caches").BeginObject();
    w.Key("l2");
    if (info.l2SizeKb == 0) {
        w.Null();
    } else {
        w.BeginArray();
        const auto kind = [&w](uint64_t count, uint32_t sizeKb) {
            w.BeginObject(Layout::kOneLine);
            w.Key("count");
            Positive(w, count);
            w.Key("size_kb");
            Positive(w, sizeKb);
            w.EndObject();
        };
        kind(info.l2Count, info.l2SizeKb);
        for (const CacheKind& more : info.moreL2Kinds) kind(more.count, more.sizeKb);
        w.EndArray();
    }
    w.Key("l3_size_kb");
    Positive(w, info.l3SizeKb);
    w.EndObject();
}

// The report's Tccd lines, in their order.
void WriteCcds(JsonWriter& w, const std::vector<CcdTemperature>& ccds) {
    w.Key("ccds").BeginArray();
    for (const CcdTemperature& ccd : ccds) {
        w.BeginObject(Layout::kOneLine);
        w.Key("package").Integer(ccd.package);
        w.Key("ccd").Integer(ccd.ccd);
        w.Key("temperature_c");
        if (ccd.celsius) {
            w.Decimal(*ccd.celsius, 1);
        } else {
            w.Null();
        }
        w.EndObject();
    }
    w.EndArray();
}

void WriteTemperatures(JsonWriter& w, const CSystemInfo& info, const TemperatureReadings& temperatures) {
    const bool section = info.vendor == kVendorIntel || info.vendor == kVendorAmd;
    const bool anyReading = std::any_of(temperatures.celsius.begin(), temperatures.celsius.end(),
                                        [](const std::optional<double>& t) { return t.has_value(); });
    const char* source = anyReading ? info.TemperatureSource() : nullptr;
    w.Key("temperatures").BeginObject();
    w.Key("sensor");
    if (section) {
        w.Bool(temperatures.sensor);
    } else {
        w.Null();
    }
    w.Key("source");
    if (source != nullptr) {
        w.String(source);
    } else {
        w.Null();
    }
    w.Key("tj_max_c");
    if (info.vendor == kVendorIntel && temperatures.sensor) {
        w.Integer(info.tjMax);
    } else {
        w.Null();
    }
    // Only where the system gives CCD sensors: a document of any other machine stays as it was.
    if (!temperatures.ccds.empty()) WriteCcds(w, temperatures.ccds);
    w.EndObject();
}

// What the OS line says after its "OS : ".
std::string OsName(const std::string& line) {
    static const char kPrefix[] = "OS : ";
    return line.compare(0, sizeof kPrefix - 1, kPrefix) == 0 ? line.substr(sizeof kPrefix - 1) : line;
}

}  // namespace

std::string JsonReport(const CSystemInfo& info, const JsonReportRun& run) {
    JsonWriter w;
    w.BeginObject();
    w.Key("schema_version").Integer(kJsonSchemaVersion);
    w.Key("program").BeginObject();
    w.Key("name").String(run.program);
    w.Key("version").String(VEXMORA_VERSION);
    w.EndObject();
    w.Key("os");
    Text(w, OsName(run.osLine));
    w.Key("hardware_access_status").Integer(info.driverStatus);
    WriteProcessorIdentity(w, info);
    WriteClock(w, info);
    WriteTopology(w, info);
    WriteProcessors(w, info, run.temperatures);
    WriteCaches(w, info);
    w.Key("summary");
    Text(w, SummaryLine(info));
    WriteTemperatures(w, info, run.temperatures);
    w.Key("messages").BeginArray();
    for (const std::string& line : run.messages) w.String(line);
    w.EndArray();
    w.EndObject();
    return w.Text();
}
