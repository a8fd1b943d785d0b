#include <array>
#include <cstddef>

#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"

namespace {

constexpr uint32_t kL2L3Leaf = 0x80000006u;
constexpr uint8_t kDescriptorL2OrL3 = 0x49;   // L3 on one Pentium 4 model, L2 everywhere else
constexpr uint8_t kDescriptorUseLeaf4 = 0xFF;  // "no descriptors here, read leaf 4"

enum class CacheLevel : uint8_t { None, L2, L3 };

struct CacheDescriptor {
    uint8_t value;
    CacheLevel level;
    uint32_t sizeKb;
};

// Leaf 2 descriptors that give an L2 or L3 size; every other byte sets nothing.
constexpr CacheDescriptor kDescriptors[] = {
    {0x39, CacheLevel::L2, 128},   {0x3B, CacheLevel::L2, 128},   {0x41, CacheLevel::L2, 128},
    {0x79, CacheLevel::L2, 128},   {0x3A, CacheLevel::L2, 192},   {0x21, CacheLevel::L2, 256},
    {0x3C, CacheLevel::L2, 256},   {0x42, CacheLevel::L2, 256},   {0x7A, CacheLevel::L2, 256},
    {0x82, CacheLevel::L2, 256},   {0x3D, CacheLevel::L2, 384},   {0x3E, CacheLevel::L2, 512},
    {0x43, CacheLevel::L2, 512},   {0x7B, CacheLevel::L2, 512},   {0x7F, CacheLevel::L2, 512},
    {0x80, CacheLevel::L2, 512},   {0x83, CacheLevel::L2, 512},   {0x86, CacheLevel::L2, 512},
    {0x44, CacheLevel::L2, 1024},  {0x78, CacheLevel::L2, 1024},  {0x7C, CacheLevel::L2, 1024},
    {0x84, CacheLevel::L2, 1024},  {0x87, CacheLevel::L2, 1024},  {0x45, CacheLevel::L2, 2048},
    {0x7D, CacheLevel::L2, 2048},  {0x85, CacheLevel::L2, 2048},  {0x48, CacheLevel::L2, 3072},
    {0x4E, CacheLevel::L2, 6144},
    {0x22, CacheLevel::L3, 512},   {0xD0, CacheLevel::L3, 512},   {0x23, CacheLevel::L3, 1024},
    {0xD1, CacheLevel::L3, 1024},  {0xD6, CacheLevel::L3, 1024},  {0xDC, CacheLevel::L3, 1536},
    {0x25, CacheLevel::L3, 2048},  {0xD2, CacheLevel::L3, 2048},  {0xD7, CacheLevel::L3, 2048},
    {0xE2, CacheLevel::L3, 2048},  {0xDD, CacheLevel::L3, 3072},  {0x29, CacheLevel::L3, 4096},
    {0x46, CacheLevel::L3, 4096},  {0xD8, CacheLevel::L3, 4096},  {0xE3, CacheLevel::L3, 4096},
    {0x4A, CacheLevel::L3, 6144},  {0xDE, CacheLevel::L3, 6144},  {0x47, CacheLevel::L3, 8192},
    {0x4B, CacheLevel::L3, 8192},  {0xE4, CacheLevel::L3, 8192},  {0x4C, CacheLevel::L3, 12288},
    {0xEA, CacheLevel::L3, 12288}, {0x4D, CacheLevel::L3, 16384}, {0xEB, CacheLevel::L3, 18432},
    {0xEC, CacheLevel::L3, 24576},
};
constexpr size_t kDescriptorCount = sizeof(kDescriptors) / sizeof(kDescriptors[0]);
static_assert(kDescriptorCount == 53, "53 cache descriptors");

// The same rows indexed by the descriptor byte; a row of level None sets nothing.
constexpr std::array<CacheDescriptor, 256> IndexDescriptors() {
    std::array<CacheDescriptor, 256> table{};
    for (size_t i = 0; i < kDescriptorCount; ++i) table[kDescriptors[i].value] = kDescriptors[i];
    return table;
}
constexpr std::array<CacheDescriptor, 256> kDescriptorByValue = IndexDescriptors();

constexpr bool EachDescriptorOnce() {
    size_t found = 0;
    for (const CacheDescriptor& d : kDescriptorByValue) found += d.level != CacheLevel::None;
    return found == kDescriptorCount && kDescriptorByValue[kDescriptorL2OrL3].level == CacheLevel::None &&
           kDescriptorByValue[kDescriptorUseLeaf4].level == CacheLevel::None;
}
static_assert(EachDescriptorOnce(), "no descriptor listed twice; 0x49 and 0xFF keep their own rules");

// Leaf 2's descriptor bytes in scan order: EDX, ECX, EBX, each from bits 31..24
// down, then the three upper bytes of EAX. EAX's low byte is the count (1 on
// every processor that has the leaf), and leaf 2 is read once whatever it says.
// EAX is scanned last because recent Intel processors put the 0xFF that sends
// us to leaf 4 there (EAX 0x00FEFF01); its upper bytes hold no other
// descriptor of the table, so older processors read as before.
struct Leaf2Bytes {
    uint8_t bytes[15];
};

Leaf2Bytes ReadLeaf2Bytes(CpuidRegisters& cpuid) {
    cpuid.Query(2, 0, false);
    Leaf2Bytes out{};
    const uint32_t registers[] = {cpuid.edx, cpuid.ecx, cpuid.ebx};
    size_t n = 0;
    for (uint32_t value : registers) {
        for (int shift = 24; shift >= 0; shift -= 8) out.bytes[n++] = static_cast<uint8_t>(value >> shift);
    }
    for (int shift = 24; shift >= 8; shift -= 8) out.bytes[n++] = static_cast<uint8_t>(cpuid.eax >> shift);
    return out;
}

void ReadLeaf4Sizes(CSystemInfo& info) {
    if (info.cpuid.maxStdLeaf < 4) return;
    ForEachLeaf4Cache(info.cpuid, [&info](uint32_t eax, uint32_t ebx, uint32_t ecx) {
        const uint32_t level = bits(eax, 7, 5);
        if (level == 2) info.l2SizeKb = Leaf4SizeKb(ebx, ecx);
        if (level == 3) info.l3SizeKb = Leaf4SizeKb(ebx, ecx);
    });
}

// Returns true when a 0xFF descriptor ended the scan.
bool ScanDescriptors(CSystemInfo& info) {
    const Leaf2Bytes leaf2 = ReadLeaf2Bytes(info.cpuid);
    for (uint8_t value : leaf2.bytes) {
        if (value == kDescriptorUseLeaf4) return true;
        if (value == kDescriptorL2OrL3) {
            const bool pentium4Model6 = info.family == 15 && info.model == 6;
            (pentium4Model6 ? info.l3SizeKb : info.l2SizeKb) = 4096;
            continue;
        }
        const CacheDescriptor& d = kDescriptorByValue[value];
        if (d.level == CacheLevel::L2) info.l2SizeKb = d.sizeKb;
        if (d.level == CacheLevel::L3) info.l3SizeKb = d.sizeKb;
    }
    return false;
}

void ReadIntelCacheSizes(CSystemInfo& info) {
    if (ScanDescriptors(info)) ReadLeaf4Sizes(info);
    if (info.l2SizeKb == 0 && info.cpuid.maxExtLeaf >= kL2L3Leaf) {
        info.cpuid.Query(kL2L3Leaf, 0, false);
        info.l2SizeKb = bits(info.cpuid.ecx, 31, 16);
    }
}

// The L3 that AMD's 0x8000001D lists, for parts whose 0x80000006 reports none (Phoenix).
void ReadAmdCacheTopologyL3(CSystemInfo& info) {
    if (!HasAmdCacheTopology(info.cpuid)) return;
    ForEachCacheOfLeaf(info.cpuid, kAmdCacheTopologyLeaf, [&info](uint32_t eax, uint32_t ebx, uint32_t ecx) {
        if (bits(eax, 7, 5) == 3) info.l3SizeKb = Leaf4SizeKb(ebx, ecx);
    });
}

void ReadExtendedCacheSizes(CSystemInfo& info) {
    if (info.cpuid.maxExtLeaf < kL2L3Leaf) return;
    info.cpuid.Query(kL2L3Leaf, 0, false);
    info.l2SizeKb = bits(info.cpuid.ecx, 31, 16);
    // EDX counts the L3 in 512 KB units; AMD's design, and the other makers' parts built on it, fill it.
    info.l3SizeKb = bits(info.cpuid.edx, 31, 18) * 512;
    if (info.l3SizeKb == 0 && info.FollowsAmdTopology()) ReadAmdCacheTopologyL3(info);
}

}  // namespace

void CSystemInfo::ReadCacheSizes() {
    if (vendor == kVendorIntel) {
        ReadIntelCacheSizes(*this);
    } else {
        ReadExtendedCacheSizes(*this);
    }
}
