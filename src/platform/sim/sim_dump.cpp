#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cpuid/cpuid_leaf.h"
#include "cpuid/dump_source.h"
#include "platform/sim/sim_machine.h"

namespace sim {

namespace {

// One hexadecimal number after optional blanks, ending where a word would;
// moves p past it.
bool ReadHex(const char*& p, uint64_t limit, uint64_t& value) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(p, &end, 16);
    if (errno == ERANGE || v > limit || std::isalnum(static_cast<unsigned char>(*end)) || *end == '_') return false;
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

// How a line's five numbers are called, to say which one cannot be read.
struct Fields {
    const char* names[5];
    uint64_t valueLimit;
    const char* valueBits;
};

const Fields kCpuidFields{{"the leaf", "EAX", "EBX", "ECX", "EDX"}, 0xFFFFFFFFu, "32"};
const Fields kMsrFields{
    {"the register number", "the first group", "the second group", "the third group", "the fourth group"},
    0xFFFFu,
    "16"};

// "ID: V-V-V-V" after a line's keyword; whatever follows the fourth value is an
// annotation. Empty when the line reads, else why it does not.
std::string ParseFields(const char* p, const Fields& f, uint32_t& id, uint64_t (&v)[4]) {
    uint64_t key;
    if (!ReadHex(p, 0xFFFFFFFFu, key)) return std::string(f.names[0]) + " is not a hexadecimal number of 32 bits";
    if (!Expect(p, ':')) return std::string("no ':' after ") + f.names[0];
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && !Expect(p, '-')) return std::string("no '-' before ") + f.names[i + 1];
        if (!ReadHex(p, f.valueLimit, v[i]))
            return std::string(f.names[i + 1]) + " is not a hexadecimal number of " + f.valueBits + " bits";
    }
    id = static_cast<uint32_t>(key);
    return "";
}

// The line's first word is `word`, in any case, followed by a blank.
bool BeginsWithWord(const char* line, const char* word) {
    const size_t length = std::strlen(word);
    return strncasecmp(line, word, length) == 0 && (line[length] == ' ' || line[length] == '\t');
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

// What a replay keeps: the processors the simulated masks can hold (the
// program walks at most 32 and refuses more), the subleaves a capture writes,
// and far more model-specific registers than any dump records.
constexpr uint32_t kMaxSubleaves = 64;
constexpr size_t kMaxMsrs = 256;

// One line of the file. Its text keeps up to 511 bytes; the rest of a longer
// line is dropped, so an annotation can never be mistaken for a line of its own.
struct Line {
    char text[512];
    size_t length = 0;     // every byte before the line end, kept or not
    bool ended = false;    // a line end follows it
    bool hasNul = false;
    bool crlf = false;     // it ends with CR LF; the CR is not in length
};

// Reads one whole line; false at the end of the file, after a read error (its
// errno in readError) and where the program's own reader stops.
bool ReadLine(DumpSource& source, Line& line, unsigned long& bytesLeft, unsigned long& linesLeft, int& readError) {
    // Character by character, so a NUL byte inside a line cannot hide its end.
    size_t kept = 0;
    line.length = 0;
    line.hasNul = false;
    int c = EOF;
    while (bytesLeft > 0 && linesLeft > 0 && (c = source.Get()) != EOF) {
        --bytesLeft;
        if (c == '\n') {
            --linesLeft;
            break;
        }
        if (c == '\0') line.hasNul = true;
        if (kept + 1 < sizeof line.text) line.text[kept++] = static_cast<char>(c);
        ++line.length;
    }
    if (c == EOF && source.error() != 0) {
        readError = source.error();
        return false;
    }
    line.text[kept] = '\0';
    line.ended = c == '\n';
    line.crlf = line.ended && line.length > 0 && kept == line.length && line.text[kept - 1] == '\r';
    if (line.crlf) --line.length;
    if (!line.ended && bytesLeft == 0) return false;  // a line the bound cut is no line
    return line.ended || line.length > 0;
}

// A line the program's fixed-column reader reads just as this loader does:
// the exact length and prefix of its layout, the fields at their columns.
bool InFixedColumns(const Line& line, bool tabLayout) {
    if (!line.ended || line.hasNul) return false;
    if (tabLayout) return line.length == 56 && line.text[0] == '\t';
    static const char kPattern[] = "CPUID hhhhhhhh: hhhhhhhh-hhhhhhhh-hhhhhhhh-hhhhhhhh";
    if (line.length != sizeof kPattern - 1) return false;
    for (size_t i = 0; i < line.length; ++i) {
        const bool hex = std::isxdigit(static_cast<unsigned char>(line.text[i])) != 0;
        if (kPattern[i] == 'h' ? !hex : line.text[i] != kPattern[i]) return false;
    }
    return true;
}

// A tab-led line that the program's reader would take as one of the layout's.
bool ProgramTakesTabLine(const Line& line) {
    return line.ended && !line.hasNul && line.length == 56 && line.text[0] == '\t';
}

struct BlockReader {
    DumpReading& reading;
    std::vector<Processor>& blocks;
    std::map<uint32_t, uint64_t> msrs;
    unsigned long lineNumber = 0;
    bool tabLayout = false;
    bool full = false;  // as many blocks as the walk takes: later CPUID lines are dropped, MSR lines still taken
    uint32_t previousLeaf = 0;
    uint32_t subleaf = 0;

    explicit BlockReader(DumpReading& r) : reading(r), blocks(r.processors) {}
    void Take(Line& line);
    void TakeCpuid(const Line& line, uint32_t leaf, const Registers& r);
    void TakeLeaf(uint32_t leaf, const Registers& r);
    void Refuse(const std::string& why);
};

void BlockReader::Refuse(const std::string& why) {
    if (reading.badLine != 0) return;
    reading.badLine = lineNumber;
    reading.badLineWhy = why;
}

void BlockReader::Take(Line& line) {
    ++lineNumber;
    // A byte-order mark is no part of the first line; the program's reader sees it.
    if (lineNumber == 1 && std::strncmp(line.text, "\xEF\xBB\xBF", 3) == 0) {
        std::memmove(line.text, line.text + 3, std::strlen(line.text + 3) + 1);
        reading.firstBlockInFixedColumns = false;
    }
    // Past 78 characters the program's reader takes a line in pieces.
    if (blocks.size() < 2 && line.length > 78) reading.firstBlockInFixedColumns = false;

    const char* word = line.text;
    while (*word == ' ' || *word == '\t') ++word;
    uint32_t id;
    uint64_t v[4];
    if (BeginsWithWord(word, "MSR")) {
        const std::string why = ParseFields(word + 4, kMsrFields, id, v);
        if (!why.empty()) return Refuse(why);
        // MSR 0xE8 keeps ticking at the machine's rate rather than freezing at a sample.
        if (id != 0xE8 && !msrs.count(id) && msrs.size() < kMaxMsrs)
            msrs[id] = (v[0] << 48) | (v[1] << 32) | (v[2] << 16) | v[3];
    } else if (BeginsWithWord(word, "CPUID")) {
        const std::string why = ParseFields(word + 6, kCpuidFields, id, v);
        if (!why.empty()) return Refuse(why);
        TakeCpuid(line, id,
                  Registers{static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1]), static_cast<uint32_t>(v[2]),
                            static_cast<uint32_t>(v[3])});
    } else if (tabLayout && line.text[0] == '\t') {
        Registers r;
        if (ParseTabLine(line.text, id, r)) {
            TakeCpuid(line, id, r);
        } else if (ProgramTakesTabLine(line)) {
            Refuse("a line of the tab-led layout whose five fields are not hexadecimal numbers of 32 bits");
        }
    } else if (blocks.empty() && std::strncmp(line.text, "CPU-Z", 5) == 0) {
        tabLayout = true;
    }
}

void BlockReader::TakeCpuid(const Line& line, uint32_t leaf, const Registers& r) {
    const bool allZero = r.eax == 0 && r.ebx == 0 && r.ecx == 0 && r.edx == 0;
    // Before any block, an all-zero leaf 0 is no processor, as in the program's
    // reader; any other leaf belongs to none.
    if (blocks.empty() && leaf != 0) return Refuse("a CPUID line before the first leaf 0 line belongs to no processor");
    if (blocks.size() < 2 && !(blocks.empty() && allZero) && !InFixedColumns(line, tabLayout))
        reading.firstBlockInFixedColumns = false;
    TakeLeaf(leaf, r);
    if (blocks.size() == 1) reading.firstBlock.emplace_back(leaf, r);
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

void Read(DumpSource& source, DumpReading& reading) {
    reading = DumpReading{};
    BlockReader reader(reading);
    Line line;
    unsigned long bytesLeft = kMaxDumpBytes;
    unsigned long linesLeft = kMaxDumpLines;
    while (ReadLine(source, line, bytesLeft, linesLeft, reading.readError)) reader.Take(line);
    if (reading.processors.empty() || reading.processors[0].cpuid.at({0, 0}).eax == 0) {
        reading.processors.clear();
        reading.firstBlock.clear();
        return;
    }
    reading.moreThanKept = reader.full;
    const auto shared = std::make_shared<const std::map<uint32_t, uint64_t>>(std::move(reader.msrs));
    for (Processor& p : reading.processors) p.sharedMsrs = shared;
}

}  // namespace

void ReadDump(FILE* file, DumpReading& reading) {
    DumpSource source(file);
    Read(source, reading);
}

void ReadDump(const char* bytes, size_t size, DumpReading& reading) {
    DumpSource source(bytes, size);
    Read(source, reading);
}

int LoadDumpProcessors(const char* path, std::vector<Processor>& processors, bool* moreThanKept) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;
    DumpReading reading;
    ReadDump(file, reading);
    std::fclose(file);
    if (reading.processors.empty()) return 0;
    if (moreThanKept != nullptr) *moreThanKept = reading.moreThanKept;
    processors = std::move(reading.processors);
    return static_cast<int>(processors.size());
}

}  // namespace sim
