// The Linux process layer's view of the processors: CPU list files and
// affinity sets of any size, beyond what a 32-bit mask or a cpu_set_t holds.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <string>
#include <vector>

namespace linuxproc {

// The processors a CPU list file such as /sys/devices/system/cpu/online lists
// ("0-3,5,8-11"), in its order; none when the file cannot be read.
std::vector<int> ListedProcessors(const char* path);

// How many processors such a file lists; 0 when it cannot be read.
int CountListedProcessors(const char* path);

// 1 + the highest processor listed in a CPU list file such as
// /sys/devices/system/cpu/possible; 0 when the file cannot be read.
int PossibleProcessorCount(const char* path);

// How many processors are online: those the list file (/sys/devices/system/cpu/online)
// lists, else the "cpuN" lines of procStat (/proc/stat); 0 when neither can be read.
int CountOnlineProcessors(const char* onlineList, const char* procStat);

// The processors a CPU set of setSize bytes holds, in ascending order.
std::vector<int> ProcessorsInSet(const cpu_set_t* set, size_t setSize);

// The calling process's affinity, read into a set sized for every possible
// processor (grown where the kernel wants a larger one); false when it cannot be read.
bool ReadAffinity(std::vector<int>* processors);

// Restricts the calling process to these processors; false when the kernel refuses.
bool RunOn(const std::vector<int>& processors);

// Pins one thread to one processor, by any number; false when the kernel refuses.
bool RunThreadOn(pthread_t thread, int processor);

// The standard-error line (Windows-1252, as WriteNote takes it) when the walk
// covers `walked` of the `online` processors; "" when it covers them all.
std::string CoverageNote(int walked, int online);

}  // namespace linuxproc
