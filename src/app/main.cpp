#include "app/report.h"
#include "sysinfo/system_info.h"

int main() {
    return RunProgram(systemInfo);
}
