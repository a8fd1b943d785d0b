#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cpuid/cpuid_registers.h"
#include "sysinfo/system_info.h"
#include "platform/sim/sim_machine.h"

namespace sim {

namespace {

// One hexadecimal number of at most 32 bits after optional blanks; moves p past it.
bool ReadHex(const char*& p, uint64_t limit, uint64_t& value) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(p, &end, 16);
    if (v > limit) return false;
    value = v;
    p = end;
    return true;
}

bool Expect(const char*& p, char c) {
    while (*p == ' ') ++p;
    if (*p != c) return false;
    ++p;
    return true;
}

// "ID: V-V-V-V" after a line's prefix; whatever follows the fourth value is an annotation.
bool ParseFields(const char* p, uint64_t valueLimit, uint32_t& id, uint64_t (&v)[4]) {
    uint64_t key;
    if (!ReadHex(p, 0xFFFFFFFFu, key) || !Expect(p, ':')) return false;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && !Expect(p, '-')) return false;
        if (!ReadHex(p, valueLimit, v[i])) return false;
    }
    id = static_cast<uint32_t>(key);
    return true;
}

// "CPUID LLLLLLLL: AAAAAAAA-BBBBBBBB-CCCCCCCC-DDDDDDDD".
bool ParsePlainLine(const char* line, uint32_t& leaf, Registers& r) {
    uint64_t v[4];
    if (std::strncmp(line, "CPUID ", 6) != 0 || !ParseFields(line + 6, 0xFFFFFFFFu, leaf, v)) return false;
    r = Registers{static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1]), static_cast<uint32_t>(v[2]),
                  static_cast<uint32_t>(v[3])};
    return true;
}

// The tab-led layout of files whose header line begins with "CPU-Z": five
// fields at fixed columns.
bool ParseTabLine(const char* line, uint32_t& leaf, Registers& r) {
    static const size_t kColumns[5] = {3, 15, 26, 37, 48};
    // 56 characters before the line end: the last field starts at column 48.
    if (line[0] != '\t' || std::strlen(line) < 56) return false;
    uint64_t v[5];
    for (int i = 0; i < 5; ++i) {
        const char* p = line + kColumns[i];
        if (!ReadHex(p, 0xFFFFFFFFu, v[i])) return false;
    }
    leaf = static_cast<uint32_t>(v[0]);
    r = Registers{static_cast<uint32_t>(v[1]), static_cast<uint32_t>(v[2]), static_cast<uint32_t>(v[3]),
                  static_cast<uint32_t>(v[4])};
    return true;
}

// "MSR IIIIIIII: HHHH-HHHH-HHHH-HHHH", the 64-bit value in four 16-bit groups.
bool ParseMsrLine(const char* line, uint32_t& index, uint64_t& value) {
    uint64_t g[4];
    if (std::strncmp(line, "MSR ", 4) != 0 || !ParseFields(line + 4, 0xFFFFu, index, g)) return false;
    value = (g[0] << 48) | (g[1] << 32) | (g[2] << 16) | g[3];
    return true;
}

// What a replay keeps: the processors the simulated masks can hold (the
// program walks at most 32 and refuses more), the subleaves a capture writes,
// and far more model-specific registers than any dump records.
constexpr uint32_t kMaxSubleaves = 64;
constexpr size_t kMaxMsrs = 256;

// Reads one whole line; the rest of a line longer than the buffer is dropped,
// so an annotation can never be mistaken for a line of its own. Reading stops
// where the program's own reader stops.
bool ReadLine(FILE* file, char (&line)[512], unsigned long& bytesLeft, unsigned long& linesLeft) {
    // Character by character, so a NUL byte inside a line cannot hide its end.
    size_t length = 0;
    int c = EOF;
    while (bytesLeft > 0 && linesLeft > 0 && (c = std::fgetc(file)) != EOF) {
        --bytesLeft;
        if (c == '\n') {
            --linesLeft;
            break;
        }
        if (length + 1 < sizeof line) line[length++] = static_cast<char>(c);
    }
    line[length] = '\0';
    if (c != '\n' && bytesLeft == 0) return false;  // a line the bound cut is no line
    return c == '\n' || length > 0;
}

struct BlockReader {
    std::vector<Processor> blocks;
    std::map<uint32_t, uint64_t> msrs;
    bool tabLayout = false;
    bool full = false;  // as many blocks as the walk takes: later CPUID lines are dropped, MSR lines still taken
    uint32_t previousLeaf = 0;
    uint32_t subleaf = 0;

    void Take(const char* line);
    void TakeLeaf(uint32_t leaf, const Registers& r);
};

void BlockReader::Take(const char* line) {
    uint32_t leaf;
    Registers r;
    uint32_t msr;
    uint64_t value;
    if (ParseMsrLine(line, msr, value)) {
        // MSR 0xE8 keeps ticking at the machine's rate rather than freezing at a sample.
        if (msr != 0xE8 && !msrs.count(msr) && msrs.size() < kMaxMsrs) msrs[msr] = value;
    } else if (ParsePlainLine(line, leaf, r) || (tabLayout && ParseTabLine(line, leaf, r))) {
        TakeLeaf(leaf, r);
    } else if (blocks.empty() && std::strncmp(line, "CPU-Z", 5) == 0) {
        tabLayout = true;
    }
}

void BlockReader::TakeLeaf(uint32_t leaf, const Registers& r) {
    if (leaf == 0) {
        // As the program's reader does, an all-zero leaf 0 before any block is no processor.
        if (blocks.empty() && r.eax == 0 && r.ebx == 0 && r.ecx == 0 && r.edx == 0) return;
        if (blocks.size() == kMaxWalkedProcessors) full = true;
        if (full) return;
        blocks.emplace_back();
        subleaf = 0;
    } else if (blocks.empty() || full) {
        return;  // leaves before the first leaf 0 belong to no processor, those after the last kept to none kept
    } else if (leaf != previousLeaf) {
        subleaf = 0;
    } else if (subleaf < kMaxSubleaves) {
        ++subleaf;
    }
    previousLeaf = leaf;
    if (subleaf < kMaxSubleaves) blocks.back().Set(leaf, subleaf, r);
}

}  // namespace

int LoadDumpProcessors(const char* path, std::vector<Processor>& processors, bool* moreThanKept) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;
    BlockReader reader;
    char line[512];
    unsigned long bytesLeft = kMaxDumpBytes;
    unsigned long linesLeft = kMaxDumpLines;
    while (ReadLine(file, line, bytesLeft, linesLeft)) reader.Take(line);
    std::fclose(file);
    if (reader.blocks.empty() || reader.blocks[0].cpuid.at({0, 0}).eax == 0) return 0;
    if (moreThanKept != nullptr) *moreThanKept = reader.full;
    const auto shared = std::make_shared<const std::map<uint32_t, uint64_t>>(std::move(reader.msrs));
    for (Processor& p : reader.blocks) p.sharedMsrs = shared;
    processors = std::move(reader.blocks);
    return static_cast<int>(processors.size());
}

}  // namespace sim
