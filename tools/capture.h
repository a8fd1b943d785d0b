// The capture half of vexmora-replay: this machine's CPUID as a plain dump.
#pragma once

// Writes one block per logical processor the process may run on, pinned to
// each in turn. Returns 0, or explains on standard error and returns 1.
int CaptureThisMachine(const char* path);
