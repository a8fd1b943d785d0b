#include "sysinfo/system_info.h"

void CSystemInfo::CountCores() {}

void CSystemInfo::DecodeApicId(uint8_t /*index*/) {}
