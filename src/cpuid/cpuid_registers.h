// The CPUID source: the instruction itself, and a cache of every leaf taken on
// the first logical processor (or read from a dump file).
#pragma once

#include <cstddef>
#include <cstdint>

class DumpSource;

struct CpuidLeaf {
    uint32_t eax = 0;
    uint32_t ebx = 0;
    uint32_t ecx = 0;
    uint32_t edx = 0;
};

// The most entries one range's table may have (1 MiB). Real processors stay far
// below; a dump declaring more is refused, and a processor (or hypervisor)
// claiming more gets no table for that range rather than gigabytes of one.
constexpr uint32_t kMaxTableEntries = 0x10000;

// The most of a dump file the reader reads, whichever comes first. The largest
// real dumps (two-socket servers, 384 logical processors) are about 1.5 MB and
// 28,000 lines; the bound ends the reading of an endless or huge file.
constexpr unsigned long kMaxDumpBytes = 8ul << 20;
constexpr unsigned long kMaxDumpLines = 131072;

struct CpuidLeafCache {
    CpuidLeaf* stdLeaves = nullptr;  // maxStdLeaf + 1 entries, subleaf 0
    CpuidLeaf* extLeaves = nullptr;  // maxExtLeaf - 0x80000000 + 1 entries, subleaf 0
    CpuidLeaf leaf4Subleaves[4] = {};
    CpuidLeaf leaf11Subleaves[2] = {};

    CpuidLeafCache() = default;
    ~CpuidLeafCache();
    CpuidLeafCache(const CpuidLeafCache&) = delete;
    CpuidLeafCache& operator=(const CpuidLeafCache&) = delete;

    // Each returns false when the table cannot be made; the range then has no
    // table at all, never a short one.
    bool AllocateStandard(uint32_t maxLeaf);
    bool AllocateExtended(uint32_t maxLeaf);
};

class CpuidRegisters {
public:
    CpuidRegisters() = default;
    virtual ~CpuidRegisters();
    CpuidRegisters(const CpuidRegisters&) = delete;
    CpuidRegisters& operator=(const CpuidRegisters&) = delete;

    void Execute(uint32_t leaf, uint32_t subleaf);
    void Query(uint32_t leaf, uint32_t subleaf, bool live);
    void Init(const char* path);
    // Fills the cache from the first block of a dump file, reading at most
    // kMaxDumpBytes and kMaxDumpLines of it; true when what it read gave a
    // highest standard leaf other than 0 and declared no table beyond
    // kMaxTableEntries.
    bool LoadDump(const char* path);
    // The same from a dump already in memory.
    bool LoadDumpBytes(const char* bytes, size_t size);

    uint32_t maxStdLeaf = 0;
    uint32_t maxExtLeaf = 0;
    // Init filled the cache from a dump: its texts are a file's, not the processor's.
    bool fromDump = false;
    uint32_t eax = 0;
    uint32_t ebx = 0;
    uint32_t ecx = 0;
    uint32_t edx = 0;
    CpuidLeafCache* leafCache = nullptr;

private:
    bool LoadDump(DumpSource& source);
    void InstallCache(CpuidLeafCache* cache);
    void Store(CpuidLeaf& entry) const;
    void Load(const CpuidLeaf& entry);
    void FillLive();
};
