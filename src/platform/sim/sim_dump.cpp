#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sim/sim_machine.h"

namespace sim {

namespace {

// "CPUID LLLLLLLL: AAAAAAAA-BBBBBBBB-CCCCCCCC-DDDDDDDD", anything after it ignored.
bool ParseCpuidLine(const char* line, uint32_t& leaf, Registers& r) {
    unsigned long v[5];
    if (std::strncmp(line, "CPUID ", 6) != 0) return false;
    if (std::sscanf(line + 6, "%lx: %lx-%lx-%lx-%lx", &v[0], &v[1], &v[2], &v[3], &v[4]) != 5) return false;
    leaf = static_cast<uint32_t>(v[0]);
    r = Registers{static_cast<uint32_t>(v[1]), static_cast<uint32_t>(v[2]), static_cast<uint32_t>(v[3]),
                  static_cast<uint32_t>(v[4])};
    return true;
}

// "MSR IIIIIIII: HHHH-HHHH-HHHH-HHHH", the 64-bit value in four 16-bit groups.
bool ParseMsrLine(const char* line, uint32_t& index, uint64_t& value) {
    unsigned long id;
    unsigned long g[4];
    if (std::strncmp(line, "MSR ", 4) != 0) return false;
    if (std::sscanf(line + 4, "%lx: %lx-%lx-%lx-%lx", &id, &g[0], &g[1], &g[2], &g[3]) != 5) return false;
    index = static_cast<uint32_t>(id);
    value = 0;
    for (unsigned long group : g) value = (value << 16) | (group & 0xFFFF);
    return true;
}

}  // namespace

int LoadDumpProcessors(const char* path, std::vector<Processor>& processors) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;
    std::vector<Processor> read;
    std::map<uint32_t, uint64_t> msrs;
    char line[512];
    uint32_t previousLeaf = 0;
    uint32_t subleaf = 0;
    bool usable = false;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        uint32_t leaf;
        Registers r;
        uint32_t msr;
        uint64_t value;
        if (ParseMsrLine(line, msr, value)) {
            // MSR 0xE8 keeps ticking at the machine's rate rather than freezing at a sample.
            if (msr != 0xE8 && !msrs.count(msr)) msrs[msr] = value;
            continue;
        }
        if (!ParseCpuidLine(line, leaf, r)) continue;
        if (leaf == 0) {
            read.emplace_back();
            if (read.size() == 1 && r.eax != 0) usable = true;
            subleaf = 0;
        } else if (read.empty()) {
            continue;  // leaves before the first leaf 0 belong to no processor
        } else {
            subleaf = (leaf == previousLeaf) ? subleaf + 1 : 0;
        }
        previousLeaf = leaf;
        read.back().Set(leaf, subleaf, r);
    }
    std::fclose(file);
    if (!usable) return 0;
    for (Processor& p : read) p.msrs = msrs;
    processors = std::move(read);
    return static_cast<int>(processors.size());
}

}  // namespace sim
