// Linux stand-ins for the Windows process services, the message box and the seam.
#include <sched.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/seam.h"
#include "platform/win32.h"

namespace {

// The process mask and the system mask are 32 bits wide, as on 32-bit Windows.
constexpr int kMaskBits = 32;

DWORD_PTR OnlineProcessorMask() {
    DWORD_PTR mask = 0;
    FILE* file = std::fopen("/sys/devices/system/cpu/online", "r");
    if (file != nullptr) {
        // A list of ranges such as "0-3,5,8-11".
        int first;
        while (std::fscanf(file, "%d", &first) == 1) {
            int last = first;
            int c = std::fgetc(file);
            if (c == '-') {
                if (std::fscanf(file, "%d", &last) != 1) break;
                c = std::fgetc(file);
            }
            for (int cpu = first; cpu <= last && cpu < kMaskBits; ++cpu) mask |= DWORD_PTR{1} << cpu;
            if (c != ',') break;
        }
        std::fclose(file);
    }
    if (mask == 0) {
        const long count = sysconf(_SC_NPROCESSORS_ONLN);
        for (long cpu = 0; cpu < count && cpu < kMaskBits; ++cpu) mask |= DWORD_PTR{1} << cpu;
    }
    return mask;
}

// Windows-1252 to UTF-8, for the message texts.
std::string FromWindows1252(const char* text) {
    static const char16_t k80To9F[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                         0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        char32_t c = *p;
        if (c >= 0x80 && c < 0xA0) c = k80To9F[c - 0x80];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Code page 850, the console's OEM page on a French Windows, to UTF-8.
void AppendCodePage850(std::string& out, unsigned char byte) {
    static const char16_t kUpper[128] = {
        0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,
        0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xF8, 0xA3, 0xD8, 0xD7, 0x192,
        0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0xAE, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,
        0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0xC1, 0xC2, 0xC0, 0xA9, 0x2563, 0x2551, 0x2557, 0x255D, 0xA2, 0xA5, 0x2510,
        0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0xE3, 0xC3, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0xA4,
        0xF0, 0xD0, 0xCA, 0xCB, 0xC8, 0x131, 0xCD, 0xCE, 0xCF, 0x2518, 0x250C, 0x2588, 0x2584, 0xA6, 0xCC, 0x2580,
        0xD3, 0xDF, 0xD4, 0xD2, 0xF5, 0xD5, 0xB5, 0xFE, 0xDE, 0xDA, 0xDB, 0xD9, 0xFD, 0xDD, 0xAF, 0xB4,
        0xAD, 0xB1, 0x2017, 0xBE, 0xB6, 0xA7, 0xF7, 0xB8, 0xB0, 0xA8, 0xB7, 0xB9, 0xB3, 0xB2, 0x25A0, 0xA0};
    if (byte < 0x80) {
        out += static_cast<char>(byte);
        return;
    }
    const char32_t c = kUpper[byte - 0x80];
    if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL GetProcessAffinityMask(HANDLE, PDWORD_PTR processMask, PDWORD_PTR systemMask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
    DWORD_PTR mask = 0;
    for (int cpu = 0; cpu < kMaskBits; ++cpu) {
        if (CPU_ISSET(cpu, &set)) mask |= DWORD_PTR{1} << cpu;
    }
    *processMask = mask;
    *systemMask = OnlineProcessorMask();
    return 1;
}

BOOL SetProcessAffinityMask(HANDLE, DWORD_PTR mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < kMaskBits; ++cpu) {
        if (mask & (DWORD_PTR{1} << cpu)) CPU_SET(cpu, &set);
    }
    return sched_setaffinity(0, sizeof set, &set) == 0 ? 1 : 0;
}

BOOL SetPriorityClass(HANDLE, DWORD priorityClass) {
    // High maps to a raised nice value, which only a privileged process may take.
    const int nice = priorityClass == HIGH_PRIORITY_CLASS ? -10 : 0;
    return setpriority(PRIO_PROCESS, 0, nice) == 0 ? 1 : 0;
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
    // No modal window here: the warning goes to standard error and counts as acknowledged.
    std::fprintf(stderr, "Vexmora: %s\n", FromWindows1252(text ? text : "").c_str());
    std::fflush(stderr);
    return IDOK;
}

namespace platform {

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
    std::string text;
    for (size_t i = 0; i < count; ++i) AppendCodePage850(text, static_cast<unsigned char>(bytes[i]));
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void RunPause() {
    std::fflush(stdout);
    // Only a person at a terminal can press a key; redirected runs must not hang.
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return;
    std::fputs("Appuyez sur une touche pour continuer...", stdout);
    std::fflush(stdout);
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        char key;
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
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
