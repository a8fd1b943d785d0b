// The capture half of vexmora-replay: this machine's CPUID as a plain dump.
#pragma once

#include <cstdint>
#include <cstdio>

// Writes one block per logical processor the process may run on, pinned to
// each in turn, to path ("-": standard output). An existing regular file is
// replaced only when asked, and a new or replaced file appears only once the
// capture is whole. Returns 0, or explains on standard error and returns 1.
int CaptureThisMachine(const char* path, bool replace);

// One line of the plain layout, the one the program's reader reads; what
// fprintf returns.
int WritePlainLine(FILE* out, uint32_t leaf, uint32_t eax, uint32_t ebx, uint32_t ecx, uint32_t edx);
