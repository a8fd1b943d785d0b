// The topology pass's vendor rules, shared by topology.cpp (the pass itself),
// topology_leaf11.cpp (leaf 4 and leaf 11: Intel and other makers) and
// topology_amd.cpp (AMD's extended leaves).
#pragma once

#include <cstdint>

#include "cpuid/cpuid_registers.h"

namespace topology {

constexpr uint32_t kAmdCoreCountLeaf = 0x80000008u;
constexpr uint8_t kFirstZenFamily = 0x17;

// Counts from 8-bit fields (leaf 1, leaf 4, 0x80000008) are bytes: those
// values are taken modulo 256. Leaf 11's counts are 16 bits wide, as the record's.
constexpr uint8_t Byte(uint32_t value) {
    return static_cast<uint8_t>(value);
}

constexpr uint16_t Count16(uint32_t value) {
    return static_cast<uint16_t>(value);
}

// Smallest n with 2^n >= count, computed wide: any count from 129 to 256 gives 8.
inline uint8_t WidthFor(uint32_t count) {
    unsigned width = 0;
    while (width < 32 && (uint64_t{1} << width) < count) ++width;
    return Byte(width);
}

// 2^width - 1 over the 32 bits of an x2APIC id: a width of 32 or more (an
// 8-bit difference that wrapped) gives every bit.
constexpr uint32_t MaskOfWidth(unsigned width) {
    return width >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << width) - 1;
}

struct CoreCounts {
    uint16_t threadsPerPackage;
    uint16_t threadsPerCore;
    uint16_t coresPerPackage;
    uint16_t l2Count;
};

// How one APIC id splits into package, core and thread numbers.
struct ApicLayout {
    uint32_t apicId = 0;
    uint8_t threadShift = 0;
    uint32_t threadMask = 0;
    uint32_t coreMask = 0;
    uint8_t packageShift = 0;
};

// Leaf 4 and leaf 11 (topology_leaf11.cpp).
CoreCounts CountIntelCores(CpuidRegisters& cpuid, uint8_t threadsPerPackage);
CoreCounts CountOtherCores(CpuidRegisters& cpuid, uint8_t threadsPerPackage);
// Leaf 11 as the first processor reports it: true when its SMT level is filled in.
bool HasTopologyLeaf(CpuidRegisters& cpuid);
// True when both its SMT and its core level are: only then do other makers count from it.
bool HasBothTopologyLevels(CpuidRegisters& cpuid);
// Leaf 7 EDX bit 15: cores of two kinds in one package.
bool IsHybrid(CpuidRegisters& cpuid);
ApicLayout LayoutFromTopologyLeaf(CpuidRegisters& cpuid, bool live);
// The logical processors leaf 11's package level (its second level) counts,
// 16 bits wide; 0 where the leaf is not filled in.
uint16_t PackageThreadsFromTopologyLeaf(CpuidRegisters& cpuid);
// The 32-bit x2APIC id that a filled-in leaf 0xB (or 0x1F) gives on the
// processor the caller runs on; false where neither is filled in.
bool ReadX2ApicId(CpuidRegisters& cpuid, bool live, uint32_t* id);

// AMD's extended leaves (topology_amd.cpp).
CoreCounts CountAmdCores(CpuidRegisters& cpuid, uint8_t family, uint8_t threadsPerPackage);
ApicLayout LayoutFromAmdLeaf(CpuidRegisters& cpuid, bool live, uint32_t coresPerPackage, uint32_t threadsPerCore);

}  // namespace topology
