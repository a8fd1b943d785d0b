#include <algorithm>
#include <string>

#include "app/console.h"
#include "app/report.h"
#include "hwaccess/hw_access.h"
#include "sysinfo/system_info.h"

namespace {

const char* CoreWord(uint32_t coresPerPackage) {
    switch (coresPerPackage) {
        case 1: return " Monocore";
        case 2: return " Dualcore";
        case 3: return " Tricore";
        case 4: return " Quadcore";
        case 6: return " Hexacore";
        case 8: return " Octocore";
        default: return " Multicore";
    }
}

void PrintFrequencies(const CSystemInfo& info) {
    const bool intel = info.vendor == kVendorIntel;
    if (intel && info.constTsc == 1 && info.perfMsr == 1) {
        ConsolePrintf("CoefMaxi=%.1f CoefActuel=%.1f\n", info.coefMax, info.coefCurrent);
    }
    ConsolePrintf("Methode classique : %.2f MHz\n", info.freqClassic);
    // Strict comparisons: 0, negative values and NaN suppress the line.
    if (intel && info.freqClassicFixed > 0) ConsolePrintf("Methode classique fixed : %.2f MHz\n", info.freqClassicFixed);
    if (intel && info.freqAlt1 > 0) ConsolePrintf("Methode alternative 1 : %.2f MHz\n", info.freqAlt1);
    if (intel && info.freqAlt2 > 0) ConsolePrintf("Methode alternative 2 : %.2f MHz\n", info.freqAlt2);
    ConsolePrintf("Frequence retenue : %.2f MHz\n", info.freqRetained);
}

void PrintTopology(const CSystemInfo& info) {
    ConsolePrintf("Nombre de processeurs physiques : %d\n", info.packageCount);
    ConsolePrintf("Nombre max de cores par CPU : %d\n", info.coresPerPackage);
    ConsolePrintf("Nombre max de thread par CPU : %d\n", info.threadsPerPackage);
    ConsolePrintf("Nombre max de thread par core : %d\n", info.threadsPerCore);
    const HybridCores& hybrid = info.hybridCores;
    if (hybrid.performanceCores != 0 && hybrid.efficiencyCores != 0) {
        ConsolePrintf("Cores hybrides : %d P (%d threads) + %d E (%d threads)\n", hybrid.performanceCores,
                      hybrid.performanceThreads, hybrid.efficiencyCores, hybrid.efficiencyThreads);
    }
    ConsolePrintf("Nombre total de processeurs logiques : %d\n", info.LogicalCount());
    for (size_t i = 0; i < info.processors.size(); ++i) {
        const ApicEntry& e = info.processors[i].apic;
        ConsolePrintf(" . CPU%d : Apic=%u Phy=%u Core=%u Log=%u\n", static_cast<int>(i), e.apicId, e.packageId, e.coreId,
                      e.threadId);
    }
}

}  // namespace

std::string ReportedName(const CSystemInfo& info) {
    // Bounded by the buffer: the name can never be read past its 48 bytes.
    std::string name(info.brand, std::find(info.brand, info.brand + sizeof info.brand, '\0'));
    if (info.cpuid.fromDump) {
        for (char& c : name) {
            const auto code = static_cast<unsigned char>(c);
            if (code < 0x20 || code == 0x7F) c = '?';
        }
    }
    return name;
}

void PrintReport(const CSystemInfo& info) {
    if (info.driverStatus != 0) ConsolePrintf("%s : erreur %d\n\n", hw::StatusLineName(), info.driverStatus);
    ConsolePrintf("CPU : %s\n", ReportedName(info).c_str());
    ConsolePrintf("CPU Family %02X Model %02X Stepping %X\n", info.family, info.model, info.stepping);
    ConsolePrintf("ConstTSC=%d PerfMSR=%d\n", info.constTsc, info.perfMsr);
    PrintFrequencies(info);
    PrintTopology(info);
    ConsolePrintf("Cache L2 : %d x %d Ko", info.l2Count, static_cast<int>(info.l2SizeKb));
    for (const CacheKind& kind : info.moreL2Kinds) {
        ConsolePrintf(" + %d x %d Ko", kind.count, static_cast<int>(kind.sizeKb));
    }
    ConsolePrintf("\n");
    ConsolePrintf("Cache L3 : %d Ko\n", static_cast<int>(info.l3SizeKb));
    PrintSummaryLine(info);
}

std::string SummaryLine(const CSystemInfo& info) {
    std::string line = info.packageCount == 1 ? "1 Processeur" : std::to_string(info.packageCount) + " Processeurs";
    line += CoreWord(info.coresPerPackage);
    if (info.htState == kHtOn) {
        line += " HT On";
    } else if (info.htState == kHtOff) {
        line += " HT Off";
    }
    if (info.inactiveCores == 1) {
        line += " (1 core inactif)";
    } else if (info.inactiveCores > 1) {
        line += " (" + std::to_string(info.inactiveCores) + " cores inactifs)";
    }
    line += (info.features & kFeatureLongMode) ? " 64 bits" : " 32 bits";
    return line;
}

void PrintSummaryLine(const CSystemInfo& info) {
    ConsolePuts(SummaryLine(info).c_str());
}
