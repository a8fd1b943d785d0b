// The seam on Windows: the instructions themselves, the C runtime's clock and
// console, and the command interpreter. The Windows API needs no layer here.
#include <cpuid.h>
#include <x86intrin.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/seam.h"

namespace platform {

CpuidResult ExecuteCpuid(uint32_t leaf, uint32_t subleaf) {
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    __cpuid_count(leaf, subleaf, eax, ebx, ecx, edx);
    return CpuidResult{eax, ebx, ecx, edx};
}

uint64_t ReadTimeStampCounter() {
    return __rdtsc();
}

// The Windows C runtime's clock() counts elapsed time, not processor time.
static_assert(CLOCKS_PER_SEC == 1000, "clock() ticks are milliseconds on Windows");

long ElapsedMilliseconds() {
    return static_cast<long>(std::clock());
}

// The console shows the bytes in its own code page; the report is written for it.
void WriteReport(const char* bytes, size_t count) {
    std::fwrite(bytes, 1, count, stdout);
}

void RunPause() {
    // The interpreter writes to the same console: the report must be out first.
    std::fflush(stdout);
    std::system("pause");
}

bool DescribeHostOs(char*, size_t) {
    return false;
}

}  // namespace platform
