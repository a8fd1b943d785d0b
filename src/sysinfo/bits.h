// Bit fields of CPUID registers, read one way everywhere.
#pragma once

#include <cstdint>

#include "cpuid/cpuid_registers.h"

// Bits high..low of value, shifted down to bit 0 (high >= low, both below 32).
constexpr uint32_t bits(uint32_t value, unsigned high, unsigned low) {
    const unsigned width = high - low + 1;
    const uint32_t shifted = value >> low;
    return width >= 32 ? shifted : shifted & ((uint32_t{1} << width) - 1);
}

static_assert(bits(0x00010676, 19, 16) == 1 && bits(0x00010676, 7, 4) == 7, "bits() extracts fields");
static_assert(bits(0xFFFFFFFF, 31, 0) == 0xFFFFFFFF, "bits() takes the whole register");

// Leaf 4 (and AMD's 0x8000001D, laid out the same way) lists one cache per
// subleaf and ends with a subleaf of cache type 0. The subleaf counter is 8
// bits wide, so a processor that never reports type 0 is read no further than
// subleaf 255 instead of looping for ever.
constexpr uint32_t kMaxLeaf4Subleaves = 256;

// Calls visit(eax, ebx, ecx) for each cache that `leaf` lists, in subleaf order;
// live, on the processor the caller runs on rather than from the leaf cache.
template <typename Visit>
void ForEachCacheOfLeaf(CpuidRegisters& cpuid, uint32_t leaf, Visit visit, bool live = false) {
    for (uint32_t subleaf = 0; subleaf < kMaxLeaf4Subleaves; ++subleaf) {
        cpuid.Query(leaf, subleaf, live);
        if (bits(cpuid.eax, 4, 0) == 0) return;
        visit(cpuid.eax, cpuid.ebx, cpuid.ecx);
    }
}

template <typename Visit>
void ForEachLeaf4Cache(CpuidRegisters& cpuid, Visit visit) {
    ForEachCacheOfLeaf(cpuid, 4, visit);
}

// A listed cache's size: ways x partitions x line size x sets, in 32-bit
// arithmetic as the sizes have always been; leaf 4 and 0x8000001D lay them out alike.
constexpr uint32_t Leaf4SizeKb(uint32_t ebx, uint32_t ecx) {
    return (bits(ebx, 31, 22) + 1) * (bits(ebx, 21, 12) + 1) * (bits(ebx, 11, 0) + 1) * (ecx + 1) / 1024;
}

// AMD's cache and core topology leaves (0x8000001D, 0x8000001E) mean something
// only where 0x80000001 ECX bit 22 announces them.
constexpr uint32_t kAmdCacheTopologyLeaf = 0x8000001Du;

inline bool HasAmdCacheTopology(CpuidRegisters& cpuid) {
    if (cpuid.maxExtLeaf < kAmdCacheTopologyLeaf) return false;
    cpuid.Query(0x80000001u, 0, false);
    return bits(cpuid.ecx, 22, 22) != 0;
}
