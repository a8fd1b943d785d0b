#include "cpuid/cpuid_registers.h"

// The dump file reader is not written yet: every dump falls back to the live fill.
bool CpuidRegisters::LoadDump(const char* /*path*/) {
    return false;
}
