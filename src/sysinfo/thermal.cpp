#include "sysinfo/system_info.h"

void CSystemInfo::DetectThermal() {}

int CSystemInfo::ReadIntelTemperature(int /*cpu*/, double* /*out*/) {
    return 0;
}

int CSystemInfo::ReadAmdTemperature(int /*cpu*/, double* /*out*/) {
    return 0;
}

DWORD WINAPI DtsThreadProc(LPVOID /*param*/) {
    return 0;
}
