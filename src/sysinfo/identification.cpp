#include "sysinfo/system_info.h"

void CSystemInfo::ReadIdentification() {
    ReadCacheSizes();
}

void CSystemInfo::NormalizeBrand(char* /*name*/) {}
