// The Linux process layer's view of the online processors, beyond the 32 that
// the affinity masks show.
#pragma once

#include <string>

namespace linuxproc {

// Processors listed in a CPU list file such as /sys/devices/system/cpu/online
// ("0-3,5,8-11"); 0 when the file cannot be read.
int CountListedProcessors(const char* path);

// The standard-error line for a system of `onlineProcessors`, or "" when the
// masks show them all.
std::string CoverageNote(int onlineProcessors);

}  // namespace linuxproc
