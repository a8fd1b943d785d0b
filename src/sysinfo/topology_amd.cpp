// AMD core counts and APIC layout, from leaf 0x80000008.
#include "sysinfo/bits.h"
#include "sysinfo/topology_rules.h"

namespace topology {

CoreCounts CountAmdCores(CpuidRegisters& cpuid, uint8_t family, uint8_t threadsPerPackage) {
    cpuid.Query(kAmdCoreCountLeaf, 0, false);
    // Kept in 8 bits: a field of 0xFF gives 0 cores, stored as 1.
    const uint8_t cores = Byte(bits(cpuid.ecx, 7, 0) + 1);
    // Family 0x15 modules pair two cores on one L2.
    const uint8_t l2Count = (family == 0x15 && cores > 1) ? Byte(cores / 2) : cores;
    return CoreCounts{threadsPerPackage, 1, cores, l2Count};
}

ApicLayout LayoutFromAmdLeaf(CpuidRegisters& cpuid, bool live, uint8_t coresPerPackage) {
    ApicLayout layout;
    cpuid.Query(1, 0, live);
    layout.apicId = Byte(bits(cpuid.ebx, 31, 24));
    cpuid.Query(kAmdCoreCountLeaf, 0, live);
    // A reported core width of 0 is taken as it stands: the package number is then the APIC id.
    const uint8_t coreWidth = cpuid.ecx != 0 ? Byte(bits(cpuid.ecx, 15, 12)) : WidthFor(coresPerPackage);
    layout.packageShift = coreWidth;
    layout.coreMask = MaskOfWidth(coreWidth);
    return layout;
}

}  // namespace topology
