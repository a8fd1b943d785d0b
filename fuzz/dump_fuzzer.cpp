// Arbitrary bytes as a CPUID dump: the reader fills the cache, then the
// identification passes decode whatever it holds, on a simulated machine whose
// processors come from the same bytes (the replay tool's loader). Both loaders
// take the bytes from memory, through the parsers that read files.
#include <cstdint>
#include <utility>

#include "platform/sim/sim_machine.h"
#include "sysinfo/system_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    sim::DumpReading reading;
    sim::ReadDump(bytes, size, reading);
    const int count = static_cast<int>(reading.processors.size());
    sim::Machine machine(count > 0 ? count : 1);
    if (count > 0) machine.processors = std::move(reading.processors);

    CSystemInfo record;
    // The passes run on whatever was loaded, usable dump or not.
    record.cpuid.LoadDumpBytes(bytes, size);
    record.ReadIdentification();
    record.ReadFeatures();
    record.CountCores();
    record.DecodeApicId(0);
    return 0;
}
