#include "capture.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cpuid/cpuid_leaf.h"
#include "platform/linux/linux_process.h"

namespace {

// Far more than any processor lists; a terminating entry that never comes cannot run away.
constexpr uint32_t kMaxSubleaves = 64;

using Registers = CpuidLeaf;

// The instruction itself: this tool links the simulated machine, whose
// platform CPUID answers from the dump being replayed.
Registers Cpuid(uint32_t leaf, uint32_t subleaf) {
    Registers r;
    __asm__ volatile("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(subleaf));
    return r;
}

void WriteLine(FILE* out, uint32_t leaf, const Registers& r) {
    WritePlainLine(out, leaf, r.eax, r.ebx, r.ecx, r.edx);
}

constexpr uint32_t kAmdCacheLeaf = 0x8000001Du;

// Leaf 4 and AMD's 0x8000001D list caches until one of type 0; leaf 11 lists
// levels until one of type 0.
bool EndsList(uint32_t leaf, const Registers& r) {
    return leaf == 11 ? ((r.ecx >> 8) & 0xFF) == 0 : (r.eax & 0x1F) == 0;
}

// A leaf's subleaf 0; for leaves 4, 11 and 0x8000001D the following subleaves
// as repeated lines, up to and including the terminating entry: the report
// reads each processor's caches from them.
void WriteLeaf(FILE* out, uint32_t leaf) {
    const bool listsSubleaves = leaf == 4 || leaf == 11 || leaf == kAmdCacheLeaf;
    for (uint32_t subleaf = 0; subleaf < kMaxSubleaves; ++subleaf) {
        const Registers r = Cpuid(leaf, subleaf);
        WriteLine(out, leaf, r);
        if (!listsSubleaves || EndsList(leaf, r)) return;
    }
}

// Highest leaves are capped at what the reader accepts.
void WriteBlock(FILE* out) {
    const uint32_t maxStd = std::min(Cpuid(0, 0).eax, kMaxTableEntries - 1);
    for (uint32_t leaf = 0; leaf <= maxStd; ++leaf) WriteLeaf(out, leaf);

    const Registers top = Cpuid(kExtendedBase, 0);
    WriteLine(out, kExtendedBase, top);
    if (top.eax <= kExtendedBase) return;
    const uint32_t maxExt = std::min(top.eax, kExtendedBase + kMaxTableEntries - 1);
    for (uint32_t leaf = kExtendedBase + 1; leaf <= maxExt; ++leaf) WriteLeaf(out, leaf);
}

// Blocks in processor order; false when a processor cannot be pinned, since
// its block would describe another one.
bool WriteBlocks(FILE* out, const std::vector<int>& allowed, int& count) {
    count = 0;
    for (int cpu : allowed) {
        if (!linuxproc::RunOn({cpu})) {
            std::fprintf(stderr, "vexmora-replay: cannot run on processor %d: %s\n", cpu, std::strerror(errno));
            return false;
        }
        WriteBlock(out);
        ++count;
    }
    return true;
}

}  // namespace

int WritePlainLine(FILE* out, uint32_t leaf, uint32_t eax, uint32_t ebx, uint32_t ecx, uint32_t edx) {
    return std::fprintf(out, "CPUID %08X: %08X-%08X-%08X-%08X\n", leaf, eax, ebx, ecx, edx);
}

int CaptureThisMachine(const char* path) {
    // Every processor the process may run on, however many: a set sized for them all.
    std::vector<int> allowed;
    if (!linuxproc::ReadAffinity(&allowed)) {
        std::fprintf(stderr, "vexmora-replay: cannot read the processor affinity: %s\n", std::strerror(errno));
        return 1;
    }
    FILE* out = std::fopen(path, "w");
    if (out == nullptr) {
        std::fprintf(stderr, "vexmora-replay: cannot create %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    int count = 0;
    const bool pinned = WriteBlocks(out, allowed, count);
    linuxproc::RunOn(allowed);
    const bool written = !std::ferror(out);
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "vexmora-replay: cannot write %s\n", path);
        return 1;
    }
    if (!pinned) return 1;
    std::fprintf(stderr, "vexmora-replay: %d logical processors captured to %s\n", count, path);
    // Under a narrower affinity (taskset) the dump describes part of the machine.
    const int online = linuxproc::CountListedProcessors("/sys/devices/system/cpu/online");
    if (online > count) {
        std::fprintf(stderr,
                     "vexmora-replay: only %d of the %d online logical processors captured: this process may not "
                     "run on the others\n",
                     count, online);
    }
    return 0;
}
