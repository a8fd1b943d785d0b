// The seam on Windows: the instructions themselves, the C runtime's clock and
// console, and the command interpreter. The Windows API needs no layer here.
#include <cpuid.h>
#include <x86intrin.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/shared/mask_walk.h"
#include "platform/shared/report_stream.h"
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
    WriteReportStream(bytes, count);
}

// Never called: the Windows program takes no --json.
void WriteDocument(const char* bytes, size_t count) {
    WriteReportStream(bytes, count);
}

void RunPause() {
    // The interpreter writes to the same console: the report must be out first.
    FlushReportStream();
    std::system("pause");
}

// Windows has no SIGPIPE convention: every failed write, a closed pipe too, is a failure.
ReportDelivery FinishReport() {
    const int error = FinishReportStream();
    if (error == 0) return ReportDelivery::kWritten;
    // In the console's code page, as the report: 0x82 is the e acute of code page 850.
    std::fprintf(stderr, "Vexmora: impossible d'\x82" "crire le rapport : %s\n", std::strerror(error));
    std::fflush(stderr);
    return ReportDelivery::kFailed;
}

// Vexmora.exe takes no options: whatever it is given, it prints the report.
CommandLine ReadCommandLine(int, const char* const*) {
    return CommandLine::kReport;
}

bool DescribeHostOs(char*, size_t) {
    return false;
}

// A 32-bit process sees its processors through 32-bit masks.
bool PlanProcessorWalk(ProcessorWalk* walk) {
    return maskwalk::PlanProcessorWalk(walk);
}

bool PinProcessTo(int processor) {
    return maskwalk::PinProcessTo(processor);
}

bool RestoreProcessAffinity(const ProcessorWalk&) {
    return maskwalk::RestoreProcessAffinity();
}

bool PinThreadTo(HANDLE thread, int processor) {
    return maskwalk::PinThreadTo(thread, processor);
}

// The note is ASCII: no code page to mind.
void WriteNote(const char* text) {
    FlushReportStream();
    std::fputs(text, stderr);
    std::fflush(stderr);
    KeepNote(text);
}

}  // namespace platform
