#include "sysinfo/system_info.h"

void CSystemInfo::ReadFeatures() {}
