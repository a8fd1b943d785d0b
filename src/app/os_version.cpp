#include <cstdio>
#include <cstring>

#include "app/console.h"
#include "app/report.h"
#include "platform/seam.h"
#include "platform/win32.h"

void FormatWindowsVersion(uint32_t major, uint32_t minor, uint8_t productType, char* line, size_t size) {
    const bool workstation = productType == VER_NT_WORKSTATION;
    const char* name = nullptr;
    if (major <= 4) {
        name = "OS : Windows (version non supportee)";
    } else if (major == 5 && minor == 0) {
        name = "OS : Windows 2000";
    } else if (major == 5 && minor == 1) {
        name = "OS : Windows XP";
    } else if (major == 5 && minor == 2) {
        name = workstation ? "OS : Windows XP 64bit" : "OS : Windows Server 2003";
    } else if (major == 6 && minor == 0) {
        name = workstation ? "OS : Windows Vista" : "OS : Windows Server 2008";
    } else if (major == 6 && minor == 1) {
        name = workstation ? "OS : Windows 7" : "OS : Windows Server 2008 R2";
    }
    if (name != nullptr) {
        std::snprintf(line, size, "%s", name);
    } else {
        std::snprintf(line, size, "OS : Windows (Major=%d Minor=%d)", static_cast<int>(major),
                      static_cast<int>(minor));
    }
}

void FormatOsLine(char* line, size_t size) {
    if (platform::DescribeHostOs(line, size)) return;
    OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) {
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info));
    }
    FormatWindowsVersion(info.dwMajorVersion, info.dwMinorVersion, info.wProductType, line, size);
}

void PrintOsLine() {
    char line[128];
    FormatOsLine(line, sizeof line);
    ConsolePuts(line);
}
