// What one CPUID leaf answers, and the bounds that every reader of CPUID, of a
// dump and of the processor walk keeps. The core, the platform layers and the
// tools all stand on this header, so none of them reaches into another.
#pragma once

#include <cstddef>
#include <cstdint>

struct CpuidLeaf {
    uint32_t eax = 0;
    uint32_t ebx = 0;
    uint32_t ecx = 0;
    uint32_t edx = 0;
};

// The first extended leaf, which gives the highest extended leaf.
constexpr uint32_t kExtendedBase = 0x80000000u;

// The most entries one range's table may have (1 MiB). Real processors stay far
// below; a dump declaring more is refused, and a processor (or hypervisor)
// claiming more gets no table for that range rather than gigabytes of one.
constexpr uint32_t kMaxTableEntries = 0x10000;

// The most of a dump file the reader reads, whichever comes first. The largest
// real dumps (two-socket servers, 384 logical processors) are about 1.5 MB and
// 28,000 lines; the bound ends the reading of an endless or huge file.
constexpr unsigned long kMaxDumpBytes = 8ul << 20;
constexpr unsigned long kMaxDumpLines = 131072;

// The walk's bound: the most logical processors a Linux kernel supports. It
// keeps every count inside 16 bits whatever a dump or a platform claims.
constexpr size_t kMaxWalkedProcessors = 8192;
