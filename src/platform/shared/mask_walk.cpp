#include "platform/shared/mask_walk.h"

#include <cstdio>

#include "hwaccess/library_contract.h"

namespace maskwalk {
namespace {

// The masks of a 32-bit process are 32 bits wide.
constexpr int kMaskBits = 32;
// Pinning moves the thread at the scheduler's next turn, not at once.
constexpr DWORD kSettleMs = 16;
constexpr WORD kAllProcessorGroups = 0xFFFF;

// The mask the process had when the walk was planned, for the restore.
DWORD_PTR savedProcessMask = 0;

// 1 + the position of the highest set bit: the extent of the mask, gaps included.
int MaskExtent(uint32_t mask) {
    int count = 0;
    while (mask != 0) {
        ++count;
        mask >>= 1;
    }
    return count;
}

// Every processor in every processor group; XP and Vista lack the call, and
// there a 32-bit process cannot see more than its masks anyway.
unsigned long ActiveProcessorCount() {
    using ActiveCountProc = DWORD(WINAPI*)(WORD groups);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return 0;
    const FARPROC entry = GetProcAddress(kernel, "GetActiveProcessorCount");
    if (entry == nullptr) return 0;
    return ols::FromFarProc<ActiveCountProc>(entry)(kAllProcessorGroups);
}

// The note for a system whose active processors outnumber the `walked` that
// the masks show; "" where they show them all.
const char* CoverageNote(int walked, unsigned long active, char* buffer, size_t size) {
    if (active <= static_cast<unsigned long>(walked)) return "";
    std::snprintf(buffer, size, "Vexmora: le rapport ne couvre que les %d premiers des %lu processeurs logiques.\n",
                  walked, active);
    return buffer;
}

}  // namespace

bool PlanProcessorWalk(platform::ProcessorWalk* walk) {
    DWORD_PTR processBits = 0;
    DWORD_PTR systemBits = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &processBits, &systemBits)) return false;
    const uint32_t processMask = static_cast<uint32_t>(processBits);
    const uint32_t systemMask = static_cast<uint32_t>(systemBits);
    savedProcessMask = processBits;
    walk->processors.clear();
    walk->wholeSystem = processMask != 0 && processMask == systemMask;
    walk->stoppedShort = false;
    if (processMask == 0 || systemMask == 0) return true;

    const int extent = MaskExtent(systemMask);
    if (walk->wholeSystem) {
        // Every position up to the highest: a gap is a processor whose pin fails.
        for (int cpu = 0; cpu < extent; ++cpu) walk->processors.push_back(cpu);
    } else {
        for (int cpu = 0; cpu < kMaskBits; ++cpu) {
            if (processMask & (uint32_t{1} << cpu)) walk->processors.push_back(cpu);
        }
    }
    // A mask shows 32 processors at most: with bit 31 set there may be more.
    // A process kept off some processors did not reach them either.
    walk->stoppedShort = extent >= kMaskBits || !walk->wholeSystem;
    char buffer[128];
    const char* note = CoverageNote(extent, ActiveProcessorCount(), buffer, sizeof buffer);
    if (*note != '\0') platform::WriteNote(note);
    return true;
}

bool PinProcessTo(int processor) {
    if (processor < 0 || processor >= kMaskBits) return false;
    if (SetProcessAffinityMask(GetCurrentProcess(), DWORD_PTR{1} << processor) != 1) return false;
    Sleep(kSettleMs);
    return true;
}

bool RestoreProcessAffinity() {
    return SetProcessAffinityMask(GetCurrentProcess(), savedProcessMask) != 0;
}

bool PinThreadTo(HANDLE thread, int processor) {
    if (processor < 0 || processor >= kMaskBits) return false;
    return SetThreadAffinityMask(thread, DWORD_PTR{1} << processor) != 0;
}

}  // namespace maskwalk
