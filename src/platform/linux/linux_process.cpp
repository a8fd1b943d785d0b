// Linux stand-ins for the Windows process services, the message box and the seam.
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/shared/console_text.h"
#include "platform/shared/report_stream.h"
#include "platform/linux/linux_process.h"
#include "platform/seam.h"
#include "platform/win32.h"

namespace {

const char kOnlineList[] = "/sys/devices/system/cpu/online";

// A standard stream the program was started without (vexmora >&-) is held by
// /dev/null, opened for the other direction: no file the program opens later
// can take its number and receive the report, and writes to it still fail.
bool HoldClosedStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is this one, since the lower ones are open by now.
        const int held = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
    return true;
}

// Before main, so that it precedes every file the program opens.
[[maybe_unused]] const bool standardStreamsHeld = HoldClosedStandardStreams();

const char kProcStat[] = "/proc/stat";

// Without /sys and /proc (a minimal container) the count is unknown: the C
// library's own count then falls back on the affinity, which would make a
// narrower affinity look like the whole machine.
int OnlineProcessors() {
    return linuxproc::CountOnlineProcessors(kOnlineList, kProcStat);
}

const char kUnknownOnlineNote[] =
    "Vexmora: ni /sys ni /proc ne disent quels processeurs sont en ligne : le rapport couvre ceux sur "
    "lesquels le processus peut s'ex\xE9" "cuter, sans en d\xE9" "duire de cores inactifs.\n";

// Said once, at the walk's first pin: after the warning that the process may
// not run everywhere, which comes between the plan and the pins.
std::string pendingCoverageNote;

void WritePendingCoverageNote() {
    if (pendingCoverageNote.empty()) return;
    platform::WriteNote(pendingCoverageNote.c_str());
    pendingCoverageNote.clear();
}

}  // namespace

namespace linuxproc {

int CountOnlineProcessors(const char* onlineList, const char* procStat) {
    const int listed = CountListedProcessors(onlineList);
    if (listed != 0) return listed;
    // One "cpuN" line per online processor, after the "cpu" line of their sum.
    FILE* file = std::fopen(procStat, "r");
    if (file == nullptr) return 0;
    int count = 0;
    char line[256];
    bool lineStart = true;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (lineStart && std::strncmp(line, "cpu", 3) == 0 && line[3] >= '0' && line[3] <= '9') ++count;
        lineStart = std::strchr(line, '\n') != nullptr;
    }
    std::fclose(file);
    return count;
}

std::string CoverageNote(int walked, int online) {
    if (walked >= online) return "";
    return "Vexmora: le rapport couvre " + std::to_string(walked) + " des " + std::to_string(online) +
           " processeurs logiques en ligne, ceux sur lesquels le processus peut s'ex\xE9" "cuter.\n";
}

}  // namespace linuxproc

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

namespace {

constexpr int kHighNice = -10;
// The nice value the process had before the walk raised it, for the way back.
int niceBeforeRaise = 0;
bool raised = false;

}  // namespace

// High is a lower nice value, which only a privileged process may take: for
// anyone else the walk runs at the priority it has, as it always may on Linux.
// Normal gives back the value the process started with.
BOOL SetPriorityClass(HANDLE, DWORD priorityClass) {
    if (priorityClass == HIGH_PRIORITY_CLASS) {
        errno = 0;
        const int before = getpriority(PRIO_PROCESS, 0);
        if (before == -1 && errno != 0) return 0;
        if (setpriority(PRIO_PROCESS, 0, std::min(before, kHighNice)) == 0) {
            niceBeforeRaise = before;
            raised = true;
            return 1;
        }
        return errno == EACCES || errno == EPERM ? 1 : 0;
    }
    if (!raised) return 1;
    raised = false;
    return setpriority(PRIO_PROCESS, 0, niceBeforeRaise) == 0 ? 1 : 0;
}

void Sleep(DWORD milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

BOOL GetVersionExA(OSVERSIONINFOA*) {
    return 0;  // not Windows: the OS line comes from DescribeHostOs
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR, UINT) {
    // No modal window here: the warning is a line on standard error and counts as acknowledged.
    platform::WriteNote((std::string("Vexmora: ") + (text ? text : "") + "\n").c_str());
    return IDOK;
}

namespace platform {

bool PlanProcessorWalk(ProcessorWalk* walk) {
    if (!linuxproc::ReadAffinity(&walk->processors)) return false;
    const int online = OnlineProcessors();
    const int walked = static_cast<int>(walk->processors.size());
    if (online == 0) {
        // Nothing says the process is kept off any processor: no warning, but
        // no processor the walk did not reach counts as inactive either.
        walk->wholeSystem = true;
        walk->stoppedShort = true;
        pendingCoverageNote = walked > 0 ? kUnknownOnlineNote : "";
        return true;
    }
    walk->wholeSystem = walked >= online;
    // The affinity is read into a set sized for every possible processor: the
    // walk stops short only where the process may not run everywhere.
    walk->stoppedShort = !walk->wholeSystem;
    pendingCoverageNote = walked > 0 ? linuxproc::CoverageNote(walked, online) : "";
    return true;
}

// sched_setaffinity has moved the calling thread before it returns: no pause.
bool PinProcessTo(int processor) {
    WritePendingCoverageNote();
    return linuxproc::RunOn({processor});
}

bool RestoreProcessAffinity(const ProcessorWalk& walk) {
    return linuxproc::RunOn(walk.processors);
}

// Every line the program writes to standard error goes through here. The
// report so far goes out first, so a combined stream keeps the order a person
// sees on Windows.
void WriteNote(const char* text) {
    FlushReportStream();
    const std::string line = Windows1252ToUtf8(text);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    KeepNote(line.c_str());
}

CpuidResult ExecuteCpuid(uint32_t leaf, uint32_t subleaf) {
    CpuidResult r;
    __asm__ volatile("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(subleaf));
    return r;
}

uint64_t ReadTimeStampCounter() {
    uint32_t low;
    uint32_t high;
    __asm__ volatile("rdtsc" : "=a"(low), "=d"(high));
    return (uint64_t{high} << 32) | low;
}

long ElapsedMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec * 1000L + now.tv_nsec / 1000000L);
}

void WriteReport(const char* bytes, size_t count) {
    const std::string text = CodePage850ToUtf8(bytes, count);
    WriteReportStream(text.data(), text.size());
}

void WriteDocument(const char* bytes, size_t count) {
    WriteReportStream(bytes, count);
}

ReportDelivery FinishReport() {
    const int error = FinishReportStream();
    if (error == 0) return ReportDelivery::kWritten;
    // Where SIGPIPE is ignored, a closed pipe reaches here instead of ending the process.
    if (error == EPIPE) return ReportDelivery::kReaderGone;
    WriteNote((std::string("Vexmora: impossible d'\xE9" "crire le rapport : ") + std::strerror(error) + "\n").c_str());
    return ReportDelivery::kFailed;
}

bool DescribeHostOs(char* line, size_t size) {
    utsname name;
    if (uname(&name) != 0) {
        std::snprintf(line, size, "OS : Linux");
    } else {
        std::snprintf(line, size, "OS : Linux %s", name.release);
    }
    return true;
}

}  // namespace platform
