#include "app/report.h"
#include "sysinfo/system_info.h"

int main(int argc, char** argv) {
    return RunCommandLine(systemInfo, argc, argv);
}
