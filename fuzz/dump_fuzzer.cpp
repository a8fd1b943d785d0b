// Arbitrary bytes as a CPUID dump file: the reader fills the cache, then the
// identification passes decode whatever it holds, on a simulated machine whose
// processors come from the same bytes (the replay tool's loader).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "sysinfo/system_info.h"

namespace {

std::string dumpPath;

void RemoveDump() {
    std::remove(dumpPath.c_str());
}

// LoadDump reads a file, so every input goes through one private file.
const char* DumpFile() {
    if (dumpPath.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        dumpPath = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/vexmora-fuzz-XXXXXX";
        const int fd = mkstemp(&dumpPath[0]);
        if (fd < 0) std::abort();
        close(fd);
        std::atexit(RemoveDump);
    }
    return dumpPath.c_str();
}

bool WriteDump(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(DumpFile(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteDump(data, size)) std::abort();
    std::vector<sim::Processor> processors;
    const int count = sim::LoadDumpProcessors(DumpFile(), processors);
    sim::Machine machine(count > 0 ? count : 1);
    if (count > 0) machine.processors = std::move(processors);

    CSystemInfo record;
    // The passes run on whatever was loaded, usable dump or not.
    record.cpuid.LoadDump(DumpFile());
    record.ReadIdentification();
    record.ReadFeatures();
    record.CountCores();
    record.DecodeApicId(0);
    return 0;
}
