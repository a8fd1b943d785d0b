// Fills the leaf cache from a CPUID dump text file instead of the instruction.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpuid/cpuid_registers.h"
#include "cpuid/dump_source.h"

namespace {


// A layout's line: its exact length (line end included), how it begins, and
// where its five hexadecimal fields start.
struct LineFormat {
    size_t length;
    const char* prefix;
    size_t leaf, eax, ebx, ecx, edx;
};

constexpr LineFormat kPlainFormat{52, "CPUID", 6, 16, 25, 34, 43};
constexpr LineFormat kTabFormat{57, "\t", 3, 15, 26, 37, 48};

// strtoul with base 16 as a 32-bit unsigned long gives it: a magnitude beyond
// 32 bits saturates to all ones instead of keeping its low bits.
uint32_t ReadHexField(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    errno = 0;
    const unsigned long long value = std::strtoull(text, nullptr, 16);
    if (errno == ERANGE) return 0xFFFFFFFFu;
    const unsigned long long magnitude = negative ? 0 - value : value;
    if (magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
}

// What is left of the bounds on the part of a dump that is read.
struct ReadBudget {
    unsigned long bytes = kMaxDumpBytes;
    unsigned long lines = kMaxDumpLines;
};

// One piece of at most 79 characters, as fgets gives it into an 80-byte buffer,
// but never beyond the budget: a line cut by the bound is a short piece. False
// at the end of the file, on a read error and once the budget is spent: each
// ends the read.
bool ReadPiece(DumpSource& source, char (&piece)[80], ReadBudget& budget) {
    size_t length = 0;
    while (length + 1 < sizeof piece && budget.bytes > 0 && budget.lines > 0) {
        const int c = source.Get();
        if (c == EOF) break;
        --budget.bytes;
        piece[length++] = static_cast<char>(c);
        if (c == '\n') {
            --budget.lines;
            break;
        }
    }
    piece[length] = '\0';
    if (length == 0) return false;
    // A file written with CR LF line ends reads as it does in text mode on Windows.
    if (length >= 2 && piece[length - 2] == '\r' && piece[length - 1] == '\n') {
        piece[length - 2] = '\n';
        piece[length - 1] = '\0';
    }
    return true;
}

// The reading state of one LoadDump call. It writes the registers' members
// directly: the line's values go to eax..edx, the leaves to the cache.
class DumpReader {
public:
    explicit DumpReader(CpuidRegisters& regs) : regs_(regs), cache_(*regs.leafCache) {}

    // False when reading must stop: a new block begins, or the dump asks for
    // a table larger than any processor has.
    bool Take(const char* piece);
    bool refused() const { return refused_; }

private:
    bool SelectsTabLayout(const char* piece);
    bool ReadLine(const char* piece, uint32_t& leaf);
    void StoreSubleaf(uint32_t leaf);
    void StoreLeaf(uint32_t leaf);
    void StoreStandard(uint32_t leaf);
    void StoreExtended(uint32_t leaf);
    bool DeclareStandard(uint32_t highest);
    bool DeclareExtended(uint32_t highest);
    CpuidLeaf Line() const { return CpuidLeaf{regs_.eax, regs_.ebx, regs_.ecx, regs_.edx}; }

    CpuidRegisters& regs_;
    CpuidLeafCache& cache_;
    const LineFormat* format_ = &kPlainFormat;
    bool taken_ = false;  // a line reached the storing step
    uint32_t previousLeaf_ = 0;
    int leaf4Repeats_ = 0;  // counted over the whole file, but only 1 to 3 matter
    int leaf11Repeats_ = 0;
    bool refused_ = false;
};

bool DumpReader::Take(const char* piece) {
    if (SelectsTabLayout(piece)) return true;
    uint32_t leaf;
    if (!ReadLine(piece, leaf)) return true;
    if (leaf == 0) {
        if (taken_) return false;
        if (regs_.eax == 0 && regs_.ebx == 0 && regs_.ecx == 0 && regs_.edx == 0) return true;
    } else if (taken_ && leaf == previousLeaf_) {
        StoreSubleaf(leaf);
        return true;
    }
    StoreLeaf(leaf);
    taken_ = true;
    previousLeaf_ = leaf;
    return !refused_;
}

// A header line beginning with "CPU-Z" selects the tab-led layout, only
// before the first taken line; the choice is never undone.
bool DumpReader::SelectsTabLayout(const char* piece) {
    if (taken_ || std::strncmp(piece, "CPU-Z", 5) != 0) return false;
    format_ = &kTabFormat;
    return true;
}

bool DumpReader::ReadLine(const char* piece, uint32_t& leaf) {
    const LineFormat& f = *format_;
    if (std::strlen(piece) != f.length || std::strncmp(piece, f.prefix, std::strlen(f.prefix)) != 0) return false;
    leaf = ReadHexField(piece + f.leaf);
    regs_.eax = ReadHexField(piece + f.eax);
    regs_.ebx = ReadHexField(piece + f.ebx);
    regs_.ecx = ReadHexField(piece + f.ecx);
    regs_.edx = ReadHexField(piece + f.edx);
    return true;
}

// Lines repeating leaf 4 or 11 straight after it are its next subleaves.
void DumpReader::StoreSubleaf(uint32_t leaf) {
    if (leaf == 4 && regs_.maxStdLeaf >= 4) {
        if (leaf4Repeats_ == 0) cache_.leaf4Subleaves[0] = cache_.stdLeaves[4];
        if (leaf4Repeats_ < 4) ++leaf4Repeats_;
        if (leaf4Repeats_ <= 3) cache_.leaf4Subleaves[leaf4Repeats_] = Line();
    } else if (leaf == 11 && regs_.maxStdLeaf >= 11) {
        if (leaf11Repeats_ == 0) cache_.leaf11Subleaves[0] = cache_.stdLeaves[11];
        if (leaf11Repeats_ < 2) ++leaf11Repeats_;
        if (leaf11Repeats_ == 1) cache_.leaf11Subleaves[1] = Line();
    }
}

void DumpReader::StoreLeaf(uint32_t leaf) {
    if (leaf <= regs_.maxStdLeaf) {
        StoreStandard(leaf);
    } else if (leaf >= kExtendedBase && leaf <= regs_.maxExtLeaf) {
        StoreExtended(leaf);
    }
}

void DumpReader::StoreStandard(uint32_t leaf) {
    if (leaf == 0 && !DeclareStandard(regs_.eax)) return;
    cache_.stdLeaves[leaf] = Line();
}

void DumpReader::StoreExtended(uint32_t leaf) {
    if (leaf == kExtendedBase) {
        if (!DeclareExtended(regs_.eax)) return;
        if (cache_.extLeaves != nullptr) cache_.extLeaves[0] = Line();
        return;
    }
    cache_.extLeaves[leaf - kExtendedBase] = Line();
}

// The highest leaf is taken only once its table exists, so no member ever
// announces more entries than the table holds.
bool DumpReader::DeclareStandard(uint32_t highest) {
    if (highest >= kMaxTableEntries || !cache_.AllocateStandard(highest)) {
        refused_ = true;
        return false;
    }
    regs_.maxStdLeaf = highest;
    return true;
}

bool DumpReader::DeclareExtended(uint32_t highest) {
    const bool huge = highest >= kExtendedBase && highest - kExtendedBase >= kMaxTableEntries;
    if (huge || !cache_.AllocateExtended(highest)) {
        refused_ = true;
        return false;
    }
    regs_.maxExtLeaf = highest;
    return true;
}

}  // namespace

bool CpuidRegisters::LoadDump(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    DumpSource source(file);
    const bool loaded = LoadDump(source);
    std::fclose(file);
    return loaded;
}

bool CpuidRegisters::LoadDumpBytes(const char* bytes, size_t size) {
    DumpSource source(bytes, size);
    return LoadDump(source);
}

bool CpuidRegisters::LoadDump(DumpSource& source) {
    InstallCache(new CpuidLeafCache());
    maxStdLeaf = 0;
    maxExtLeaf = kExtendedBase;

    DumpReader reader(*this);
    ReadBudget budget;
    char piece[80];
    while (ReadPiece(source, piece, budget) && reader.Take(piece)) {
    }

    eax = ebx = ecx = edx = 0;
    return maxStdLeaf != 0 && !reader.refused();
}
