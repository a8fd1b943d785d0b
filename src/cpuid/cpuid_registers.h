// The CPUID source: the instruction itself, and a cache of every leaf taken on
// the first logical processor (or read from a dump file).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpuid/cpuid_leaf.h"

class DumpSource;

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
