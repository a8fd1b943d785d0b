#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"

namespace {

constexpr uint32_t kExtendedFeatureLeaf = 0x80000001u;

enum class Source : uint8_t { Leaf1Edx, Leaf1Ecx, ExtEdx, ExtEcx };

// Extended-leaf rows apply only when that leaf exists; the 3DNow! and SSE4a
// bits mean something else (or nothing) on Intel, so they count only on AMD.
enum class Gate : uint8_t { Always, ExtendedLeaf, ExtendedLeafAmd };

struct FeatureRow {
    uint16_t mask;
    Source source;
    uint8_t bit;
    Gate gate;
};

// The mask does not follow the register order: 3DNow! is 0x0004, long mode 0x0020, SSE4a 0x0100.
constexpr FeatureRow kFeatureRows[] = {
    {0x0001, Source::Leaf1Edx, 0, Gate::Always},            // x87 FPU
    {0x0002, Source::Leaf1Edx, 23, Gate::Always},           // MMX
    {0x0008, Source::Leaf1Edx, 25, Gate::Always},           // SSE
    {0x0010, Source::Leaf1Edx, 26, Gate::Always},           // SSE2
    {0x0040, Source::Leaf1Ecx, 0, Gate::Always},            // SSE3
    {0x0080, Source::Leaf1Ecx, 9, Gate::Always},            // SSSE3
    {0x0200, Source::Leaf1Ecx, 19, Gate::Always},           // SSE4.1
    {0x0400, Source::Leaf1Ecx, 20, Gate::Always},           // SSE4.2
    {0x0800, Source::Leaf1Ecx, 28, Gate::Always},           // AVX
    {kFeatureLongMode, Source::ExtEdx, 29, Gate::ExtendedLeaf},       // long mode
    {0x0004, Source::ExtEdx, 30, Gate::ExtendedLeafAmd},    // 3DNow! extensions
    {0x0004, Source::ExtEdx, 31, Gate::ExtendedLeafAmd},    // 3DNow!
    {0x0100, Source::ExtEcx, 6, Gate::ExtendedLeafAmd},     // SSE4a
};

struct FeatureLeaves {
    CpuidLeaf leaf1;
    CpuidLeaf extended;  // zero when the leaf is absent
    bool hasExtended;
};

uint32_t SourceValue(const FeatureLeaves& leaves, Source source) {
    switch (source) {
        case Source::Leaf1Edx: return leaves.leaf1.edx;
        case Source::Leaf1Ecx: return leaves.leaf1.ecx;
        case Source::ExtEdx: return leaves.extended.edx;
        case Source::ExtEcx: return leaves.extended.ecx;
    }
    return 0;
}

bool GateOpen(Gate gate, const FeatureLeaves& leaves, uint8_t vendor) {
    switch (gate) {
        case Gate::Always: return true;
        case Gate::ExtendedLeaf: return leaves.hasExtended;
        case Gate::ExtendedLeafAmd: return leaves.hasExtended && vendor == kVendorAmd;
    }
    return false;
}

CpuidLeaf QueryLeaf(CpuidRegisters& cpuid, uint32_t leaf) {
    cpuid.Query(leaf, 0, false);
    return CpuidLeaf{cpuid.eax, cpuid.ebx, cpuid.ecx, cpuid.edx};
}

}  // namespace

void CSystemInfo::ReadFeatures() {
    FeatureLeaves leaves{};
    leaves.leaf1 = QueryLeaf(cpuid, 1);
    leaves.hasExtended = cpuid.maxExtLeaf >= kExtendedFeatureLeaf;
    if (leaves.hasExtended) leaves.extended = QueryLeaf(cpuid, kExtendedFeatureLeaf);

    features = 0;
    for (const FeatureRow& row : kFeatureRows) {
        if (GateOpen(row.gate, leaves, vendor) && bits(SourceValue(leaves, row.source), row.bit, row.bit)) {
            features = static_cast<uint16_t>(features | row.mask);
        }
    }
}
