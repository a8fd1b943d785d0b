#include "hwaccess/ols_library.h"
#include "platform/seam.h"
#include "sysinfo/system_info.h"

void WaitMilliseconds(int32_t milliseconds) {
    const long start = platform::ElapsedMilliseconds();
    while (static_cast<int32_t>(platform::ElapsedMilliseconds() - start) < milliseconds) {
    }
}

uint64_t CSystemInfo::ReadTsc() {
    return platform::ReadTimeStampCounter();
}

uint64_t CSystemInfo::ReadMsr(uint32_t index) {
    if (ols::entryPoints[ols::kRdmsr] == nullptr) return 0;
    DWORD low = 0;
    DWORD high = 0;
    if (!ols::EntryPoint<ols::RdmsrProc>(ols::kRdmsr)(index, &low, &high)) return 0;
    return (uint64_t{high} << 32) | low;
}

int CSystemInfo::MeasureClock() {
    return 1;
}
