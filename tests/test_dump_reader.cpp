#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/report.h"
#include "capture.h"
#include "case_names.h"
#include "cpuid/cpuid_registers.h"
#include "sim_test_support.h"

namespace {

using case_names::operator<<;

// The fixtures' register values (see tests/fixtures/dump_reader/README.md):
// line n of a leaf holds its low 16 bits, n and the register's letter.
CpuidLeaf Mark(uint32_t leaf, uint32_t n = 0) {
    const uint32_t base = (leaf & 0x80000000u) | ((leaf & 0xFFFFu) << 8) | (n << 4);
    return CpuidLeaf{base | 0xA, base | 0xB, base | 0xC, base | 0xD};
}

CpuidLeaf Leaf0(uint32_t highest) {
    return CpuidLeaf{highest, 0x756E6547, 0x6C65746E, 0x49656E69};
}

CpuidLeaf Ext0(uint32_t highest) {
    return CpuidLeaf{highest, 0, 0, 0};
}

const CpuidLeaf kZero{};

struct Expect {
    uint32_t leaf;
    uint32_t subleaf;
    CpuidLeaf value;
};

struct ReaderCase {
    const char* file;
    bool result;
    uint32_t maxStdLeaf;
    uint32_t maxExtLeaf;
    std::vector<Expect> answers;  // through Query, from the cache
};

void PrintTo(const ReaderCase& c, std::ostream* os) {
    *os << c.file;
}

std::string ReaderFixture(const std::string& name) {
    return FixturePath("dump_reader/" + name);
}

std::vector<Expect> FullDumpAnswers() {
    std::vector<Expect> answers{{0, 0, Leaf0(0xB)}, {0x80000000, 0, Ext0(0x80000008)}};
    for (uint32_t leaf = 1; leaf <= 0xB; ++leaf) answers.push_back({leaf, 0, Mark(leaf)});
    for (uint32_t leaf = 0x80000001; leaf <= 0x80000008; ++leaf) answers.push_back({leaf, 0, Mark(leaf)});
    return answers;
}

const ReaderCase kReaderCases[] = {
    {"full_plain.txt", true, 0xB, 0x80000008, FullDumpAnswers()},
    // Only the first processor's block is read.
    {"two_processors.txt", true, 2, 0x80000000,
     {{0, 0, Leaf0(2)}, {1, 0, Mark(1)}, {2, 0, Mark(2)}, {3, 0, kZero}, {0x80000001, 0, kZero}}},
    {"no_leaf0_first.txt", false, 0, 0x80000000, {{1, 0, kZero}}},
    // Four lines fill subleaves 0 to 3; the fifth is dropped.
    {"leaf4_five_times.txt", true, 5, 0x80000000,
     {{4, 0, Mark(4, 0)}, {4, 1, Mark(4, 1)}, {4, 2, Mark(4, 2)}, {4, 3, Mark(4, 3)}, {5, 0, Mark(5)}}},
    {"leaf4_once.txt", true, 5, 0x80000000, {{4, 0, Mark(4)}, {4, 1, kZero}, {4, 3, kZero}, {5, 0, Mark(5)}}},
    {"leaf11_three_times.txt", true, 0xB, 0x80000000, {{11, 0, Mark(11, 0)}, {11, 1, Mark(11, 1)}}},
    {"repeats_beyond_highest.txt", true, 3, 0x80000000, {{3, 0, Mark(3)}, {4, 1, kZero}, {11, 1, kZero}}},
    {"above_highest.txt", true, 2, 0x80000002,
     {{2, 0, Mark(2)}, {3, 0, kZero}, {0x80000002, 0, Mark(0x80000002)}, {0x80000003, 0, kZero}}},
    {"no_final_line_end.txt", true, 2, 0x80000000, {{1, 0, Mark(1)}, {2, 0, kZero}}},
    // 51 and 53 characters.
    {"line_lengths.txt", true, 3, 0x80000000, {{1, 0, kZero}, {2, 0, kZero}, {3, 0, Mark(3)}}},
    // Skipped before the first taken line, the end of the block after it.
    {"zero_leaf0.txt", true, 2, 0x80000000, {{0, 0, Leaf0(2)}, {1, 0, Mark(1)}, {2, 0, kZero}}},
    {"tab_layout_without_header.txt", false, 0, 0x80000000, {}},
    // Plain lines fail the layout's test; leaf 4 repeats as in the plain layout.
    {"tab_layout.txt", true, 4, 0x80000001,
     {{0, 0, Leaf0(4)}, {2, 0, Mark(2)}, {3, 0, Mark(3)}, {4, 0, Mark(4, 0)}, {4, 1, Mark(4, 1)},
      {0x80000001, 0, Mark(0x80000001)}}},
    // A "CPU-Z" line after the first taken line changes nothing.
    {"plain_then_header_line.txt", true, 2, 0x80000000, {{1, 0, Mark(1)}, {2, 0, Mark(2)}}},
    // Each 79-character piece counts as a line: the second line's tail is a valid one.
    {"long_lines.txt", true, 3, 0x80000000, {{1, 0, kZero}, {2, 0, Mark(2)}, {3, 0, kZero}}},
    {"crlf.txt", true, 2, 0x80000000, {{1, 0, Mark(1)}, {2, 0, Mark(2)}}},
    // strtoul's reading: "0x" prefix, leading blanks, no digits, 32-bit saturation, a sign.
    {"fields.txt", true, 2, 0x80000000,
     {{1, 0, {0x1AB, 0x1BCD, 0, 0x1CDEF}}, {2, 0, {0xFFFFFFFF, 0x2345678, 0xC, 0xFFFFFFFE}}}},
    // The largest tables a dump may declare are made in full.
    {"largest_tables.txt", true, 0xFFFF, 0x8000FFFF,
     {{1, 0, Mark(1)}, {0xFFFF, 0, Mark(0xFFFF)}, {0x8000FFFF, 0, Mark(0x8000FFFF)}}},
    // One entry more is refused before anything is allocated.
    {"huge_standard.txt", false, 0, 0x80000000, {{1, 0, kZero}}},
    {"huge_extended.txt", false, 1, 0x80000000, {{1, 0, Mark(1)}, {0x80000001, 0, kZero}}},
};

class DumpReaderTable : public SimTest, public ::testing::WithParamInterface<ReaderCase> {};

TEST_P(DumpReaderTable, FillsTheCacheFromTheFirstBlock) {
    const ReaderCase& c = GetParam();
    CpuidRegisters regs;
    regs.eax = regs.ebx = regs.ecx = regs.edx = 0x5A5A5A5A;

    EXPECT_EQ(regs.LoadDump(ReaderFixture(c.file).c_str()), c.result);
    EXPECT_EQ(regs.maxStdLeaf, c.maxStdLeaf);
    EXPECT_EQ(regs.maxExtLeaf, c.maxExtLeaf);
    ASSERT_NE(regs.leafCache, nullptr);
    EXPECT_EQ(regs.eax | regs.ebx | regs.ecx | regs.edx, 0u) << "result members cleared";
    EXPECT_EQ(machine->cpuidExecutions, 0) << "the reader never executes the instruction";

    for (const Expect& e : c.answers) {
        regs.Query(e.leaf, e.subleaf, false);
        EXPECT_EQ(regs.eax, e.value.eax) << std::hex << e.leaf << "." << e.subleaf;
        EXPECT_EQ(regs.ebx, e.value.ebx) << std::hex << e.leaf << "." << e.subleaf;
        EXPECT_EQ(regs.ecx, e.value.ecx) << std::hex << e.leaf << "." << e.subleaf;
        EXPECT_EQ(regs.edx, e.value.edx) << std::hex << e.leaf << "." << e.subleaf;
    }
    EXPECT_EQ(machine->cpuidExecutions, 0) << "every answer came from the cache";
}

std::string CaseName(const ::testing::TestParamInfo<ReaderCase>& info) {
    const std::string file = info.param.file;
    return case_names::Identifier(file.substr(0, file.find('.')));
}

INSTANTIATE_TEST_SUITE_P(Files, DumpReaderTable, ::testing::ValuesIn(kReaderCases), CaseName);

class DumpReaderTest : public SimTest {};

// Subleaf 0 of leaves 4 and 11 is copied into the subleaf tables on the first repeat.
TEST_F(DumpReaderTest, RepeatedLinesFillTheSubleafTables) {
    CpuidRegisters four;
    ASSERT_TRUE(four.LoadDump(ReaderFixture("leaf4_five_times.txt").c_str()));
    for (uint32_t n = 0; n < 4; ++n) EXPECT_EQ(four.leafCache->leaf4Subleaves[n].eax, Mark(4, n).eax) << n;

    CpuidRegisters eleven;
    ASSERT_TRUE(eleven.LoadDump(ReaderFixture("leaf11_three_times.txt").c_str()));
    EXPECT_EQ(eleven.leafCache->leaf11Subleaves[0].eax, Mark(11, 0).eax);
    EXPECT_EQ(eleven.leafCache->leaf11Subleaves[1].eax, Mark(11, 1).eax);

    CpuidRegisters once;
    ASSERT_TRUE(once.LoadDump(ReaderFixture("leaf4_once.txt").c_str()));
    EXPECT_EQ(once.leafCache->leaf4Subleaves[0].eax, 0u) << "no repeat, no copy";
}

TEST_F(DumpReaderTest, FileThatCannotBeOpenedChangesNothing) {
    CpuidRegisters regs;
    regs.maxStdLeaf = 7;
    regs.eax = 0x1234;
    EXPECT_FALSE(regs.LoadDump(ReaderFixture("missing.txt").c_str()));
    EXPECT_EQ(regs.leafCache, nullptr);
    EXPECT_EQ(regs.maxStdLeaf, 7u);
    EXPECT_EQ(regs.eax, 0x1234u);
}

// A directory opens but every read fails: the reader must stop, not spin.
TEST_F(DumpReaderTest, ReadErrorEndsTheRead) {
    CpuidRegisters regs;
    EXPECT_FALSE(regs.LoadDump(FixturePath("dump_reader").c_str()));
    EXPECT_NE(regs.leafCache, nullptr);
    EXPECT_EQ(regs.maxStdLeaf, 0u);
}

// A second load replaces the first cache whole.
TEST_F(DumpReaderTest, ReloadingStartsFromAnEmptyCache) {
    CpuidRegisters regs;
    ASSERT_TRUE(regs.LoadDump(ReaderFixture("full_plain.txt").c_str()));
    ASSERT_TRUE(regs.LoadDump(ReaderFixture("leaf4_once.txt").c_str()));
    EXPECT_EQ(regs.maxExtLeaf, 0x80000000u);
    regs.Query(0x80000001, 0, false);
    EXPECT_EQ(regs.eax, 0u);
}

TEST_F(DumpReaderTest, InitUsesTheDumpAndFallsBackToTheInstruction) {
    machine->SetAll(0, 0, {1, 0, 0, 0});
    machine->SetAll(1, 0, {0x99, 0, 0, 0});

    CpuidRegisters fromDump;
    fromDump.Init(ReaderFixture("full_plain.txt").c_str());
    EXPECT_EQ(machine->cpuidExecutions, 0);
    fromDump.Query(1, 0, false);
    EXPECT_EQ(fromDump.eax, Mark(1).eax);
    EXPECT_TRUE(fromDump.fromDump) << "the report then treats the name as a file's text";

    for (const char* unusable : {"missing.txt", "no_leaf0_first.txt", "huge_extended.txt"}) {
        CpuidRegisters live;
        live.Init(ReaderFixture(unusable).c_str());
        EXPECT_EQ(live.maxStdLeaf, 1u) << unusable;
        live.Query(1, 0, false);
        EXPECT_EQ(live.eax, 0x99u) << unusable;
        EXPECT_FALSE(live.fromDump) << unusable;
    }
}

TEST_F(DumpReaderTest, WholeProgramTakesItsLeavesFromTheDumpItIsGiven) {
    machine->SetAll(0, 0, {1, 0, 0, 0});
    RunProgram(Record(), ReaderFixture("full_plain.txt").c_str());
    EXPECT_EQ(record->cpuid.maxStdLeaf, 0xBu);
    EXPECT_EQ(record->cpuid.maxExtLeaf, 0x80000008u);

    RunWholeProgram();
    EXPECT_EQ(record->cpuid.maxStdLeaf, 1u) << "no dump: the instruction";
}

// This machine, captured with the real instruction: the reader takes the
// first block whole, and there is one block per processor the process may use.
TEST_F(DumpReaderTest, CaptureOfThisMachineReadsBack) {
    std::string path = ::testing::TempDir() + "capture-XXXXXX";
    const int fd = mkstemp(&path[0]);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(CaptureThisMachine(path.c_str(), true), 0);

    CpuidRegisters regs;
    ASSERT_TRUE(regs.LoadDump(path.c_str()));
    std::vector<sim::Processor> blocks;
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    ASSERT_EQ(sim::LoadDumpProcessors(path.c_str(), blocks), CPU_COUNT(&allowed));
    std::remove(path.c_str());

    auto expectCached = [&](uint32_t leaf, uint32_t subleaf) {
        const auto it = blocks[0].cpuid.find({leaf, subleaf});
        const sim::Registers want = it == blocks[0].cpuid.end() ? sim::Registers{} : it->second;
        regs.Query(leaf, subleaf, false);
        EXPECT_EQ(regs.eax, want.eax) << std::hex << leaf << "." << subleaf;
        EXPECT_EQ(regs.ebx, want.ebx) << std::hex << leaf << "." << subleaf;
        EXPECT_EQ(regs.ecx, want.ecx) << std::hex << leaf << "." << subleaf;
        EXPECT_EQ(regs.edx, want.edx) << std::hex << leaf << "." << subleaf;
    };
    EXPECT_EQ(regs.maxStdLeaf, blocks[0].cpuid.at({0, 0}).eax);
    for (uint32_t leaf = 0; leaf <= regs.maxStdLeaf; ++leaf) expectCached(leaf, 0);
    for (uint32_t leaf = 0x80000000; leaf <= regs.maxExtLeaf; ++leaf) expectCached(leaf, 0);
    if (regs.maxStdLeaf >= 4) {
        for (uint32_t subleaf = 1; subleaf < 4; ++subleaf) expectCached(4, subleaf);
    }
    if (regs.maxStdLeaf >= 11) expectCached(11, 1);

    // Each processor's caches are read from its own list, so the capture holds
    // the lists whole: every block's leaf 4 and 0x8000001D end with their type-0 entry.
    auto expectWholeList = [](const sim::Processor& block, uint32_t leaf) {
        uint32_t subleaf = 0;
        while (block.cpuid.count({leaf, subleaf + 1})) ++subleaf;
        EXPECT_EQ(block.cpuid.at({leaf, subleaf}).eax & 0x1F, 0u) << std::hex << leaf << " ends at " << subleaf;
    };
    for (const sim::Processor& block : blocks) {
        if (regs.maxStdLeaf >= 4) expectWholeList(block, 4);
        if (regs.maxExtLeaf >= 0x8000001D) expectWholeList(block, 0x8000001D);
    }
    // And the leaves that state each processor's kind of core: leaf 0x1A, and
    // 0x80000026 with its levels up to the one of type 0 (ECX[15:8]).
    for (const sim::Processor& block : blocks) {
        if (regs.maxStdLeaf >= 0x1A) {
            EXPECT_EQ(block.cpuid.count({0x1A, 0}), 1u);
        }
        if (regs.maxExtLeaf < 0x80000026) continue;
        uint32_t level = 0;
        while (block.cpuid.count({0x80000026, level + 1})) ++level;
        EXPECT_EQ(block.cpuid.at({0x80000026, level}).ecx & 0xFF00, 0u) << "0x80000026 ends at " << level;
    }
}

// Under a narrower affinity (taskset) the capture holds part of the machine,
// and says on standard error how much of it.
TEST_F(DumpReaderTest, CaptureSaysHowManyOfTheOnlineProcessorsItTook) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    if (online < 2 || CPU_COUNT(&allowed) != online) GTEST_SKIP() << "needs every one of two or more processors";
    std::string path = ::testing::TempDir() + "capture-XXXXXX";
    const int fd = mkstemp(&path[0]);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string note = "only 1 of the " + std::to_string(online) + " online logical processors captured";

    testing::internal::CaptureStderr();
    const int whole = CaptureThisMachine(path.c_str(), true);
    const std::string wholeErr = testing::internal::GetCapturedStderr();
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    testing::internal::CaptureStderr();
    const int part = CaptureThisMachine(path.c_str(), true);
    const std::string partErr = testing::internal::GetCapturedStderr();
    sched_setaffinity(0, sizeof allowed, &allowed);
    std::remove(path.c_str());

    EXPECT_EQ(whole, 0);
    EXPECT_EQ(wholeErr.find("only"), std::string::npos) << wholeErr;
    EXPECT_EQ(part, 0);
    EXPECT_NE(partErr.find(note), std::string::npos) << partErr;
}

// The simulated machine's loader, which the replay tool builds processors with.
TEST_F(DumpReaderTest, MachineLoaderAcceptsAnnotatedLines) {
    std::vector<sim::Processor> processors;
    ASSERT_EQ(sim::LoadDumpProcessors(ReaderFixture("annotated.txt").c_str(), processors), 2);
    const sim::Processor& first = processors[0];
    EXPECT_EQ(first.cpuid.at({0, 0}).eax, 0xBu);
    EXPECT_EQ(first.cpuid.at({4, 0}).eax, Mark(4, 0).eax);
    EXPECT_EQ(first.cpuid.at({4, 1}).edx, Mark(4, 1).edx);
    EXPECT_EQ(first.cpuid.at({11, 0}).eax, Mark(11).eax);
    EXPECT_EQ(processors[1].cpuid.at({1, 0}).eax, Mark(1, 1).eax);
    for (const sim::Processor& p : processors) EXPECT_EQ(p.sharedMsrs->at(0x1A2), 0x640000u);

    ASSERT_EQ(sim::LoadDumpProcessors(ReaderFixture("tab_layout.txt").c_str(), processors), 1);
    EXPECT_EQ(processors[0].cpuid.at({4, 1}).ecx, Mark(4, 1).ecx);
    EXPECT_EQ(processors[0].cpuid.at({0x80000001, 0}).edx, Mark(0x80000001).edx);
}

// What one reading gives the replay tool: the processors, the first line it
// cannot read, and whether the program's fixed-column reader may read the file
// itself or needs its first block rewritten.
struct ReadingCase {
    const char* name;
    std::string text;
    int processors;             // 0 when refused or unusable
    unsigned long badLine;      // 0 when every line reads
    const char* why;            // the start of the reason, for badLine
    bool fixedColumns;          // for a usable dump
    size_t firstBlockLines;     // for a usable dump
};

constexpr char kLeaf0[] = "CPUID 00000000: 00000001-756E6547-6C65746E-49656E69";
constexpr char kLeaf1[] = "CPUID 00000001: 000106A4-00100800-0098E3BD-BFEBFBFF";

// Lines as given, each ended by '\n'.
std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// A usable dump of two blocks of two lines each.
ReadingCase Reads(const char* name, std::string text, bool fixedColumns) {
    return ReadingCase{name, std::move(text), 2, 0, "", fixedColumns, 2};
}

ReadingCase Refuses(const char* name, std::string text, unsigned long line, const char* why) {
    return ReadingCase{name, std::move(text), 0, line, why, false, 0};
}

const std::string kTwoBlocks = Lines({kLeaf0, kLeaf1, kLeaf0, kLeaf1});

std::string Lowercase(std::string line) {
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return line;
}

const ReadingCase kReadingCases[] = {
    Reads("FixedColumns", kTwoBlocks, true),
    Reads("CrLfLineEnds", Lines({kLeaf0 + std::string("\r"), kLeaf1 + std::string("\r"), kLeaf0, kLeaf1}), true),
    // strtoul reads lowercase digits as the loader does.
    Reads("LowercaseHexDigits", Lines({"CPUID 00000000: 00000001-756e6547-6c65746e-49656e69", kLeaf1, kLeaf0, kLeaf1}),
          true),
    Reads("AnnotatedLines", Lines({kLeaf0 + std::string(" ; note"), kLeaf1 + std::string(" [SL 00]"), kLeaf0, kLeaf1}),
          false),
    Reads("OnlyLeaf0Bare", Lines({kLeaf0, kLeaf1 + std::string(" ; note"), kLeaf0, kLeaf1}), false),
    Reads("ByteOrderMark", "\xEF\xBB\xBF" + kTwoBlocks, false),
    Reads("TrailingSpaces", Lines({kLeaf0, kLeaf1 + std::string("  "), kLeaf0, kLeaf1}), false),
    Reads("LowercaseKeyword", Lines({kLeaf0, Lowercase(kLeaf1), kLeaf0, kLeaf1}), false),
    Reads("LeadingBlanks", Lines({kLeaf0, std::string("  ") + kLeaf1, kLeaf0, kLeaf1}), false),
    Reads("NoFinalLineEnd", Lines({kLeaf0, kLeaf1, kLeaf0}) + kLeaf1, true),
    // The program's reader skips a last line without its line end.
    ReadingCase{"NoFinalLineEndInTheOnlyBlock", Lines({kLeaf0}) + kLeaf1, 1, 0, "", false, 2},
    // The program's reader would read on past a second block it cannot see.
    Reads("AnnotatedSecondLeaf0", Lines({kLeaf0, kLeaf1, kLeaf0 + std::string(" ; note"), kLeaf1}), false),
    Reads("AnnotatedSecondBlock", Lines({kLeaf0, kLeaf1, kLeaf0, kLeaf1 + std::string(" ; note")}), true),
    Reads("LongHeaderLine", Lines({std::string(100, '#'), kLeaf0, kLeaf1, kLeaf0, kLeaf1}), false),
    Reads("HeaderAndMsrLines", Lines({"a header", kLeaf0, kLeaf1, "MSR 000001A2: 0000-0000-0064-0000", kLeaf0, kLeaf1}),
          true),
    Reads("TabLayout",
          Lines({"CPU-Z", "\t0x00000000  0x00000001 0x756E6547 0x6C65746E 0x49656E69",
                 "\t0x00000001  0x000106A4 0x00100800 0x0098E3BD 0xBFEBFBFF", "\tother text of the report",
                 "\t0x00000000  0x00000001 0x756E6547 0x6C65746E 0x49656E69",
                 "\t0x00000001  0x000106A4 0x00100800 0x0098E3BD 0xBFEBFBFF"}),
          true),
    Refuses("ValueMissing", Lines({kLeaf0, "CPUID 00000001: 000106A4-00100800-0098E3BD"}), 2, "no '-' before EDX"),
    Refuses("ValueBeyond32Bits", Lines({kLeaf0, "CPUID 00000001: 000106A4-00100800-0098E3BD-BFEBFBFF1"}), 2,
            "EDX is not a hexadecimal number of 32 bits"),
    Refuses("AnnotationGluedToAValue", Lines({kLeaf0, "CPUID 00000001: 000106A4-00100800-0098E3BD-BFEBFBFFx"}), 2,
            "EDX is not"),
    Refuses("NoColon", Lines({kLeaf0, "CPUID 00000001 000106A4-00100800-0098E3BD-BFEBFBFF"}), 2,
            "no ':' after the leaf"),
    Refuses("LeafNotHexadecimal", Lines({kLeaf0, "CPUID 0000000G: 000106A4-00100800-0098E3BD-BFEBFBFF"}), 2,
            "the leaf is not"),
    Refuses("MsrGroupBeyond16Bits", Lines({kLeaf0, kLeaf1, "MSR 000001A2: 0000-0000-00640000-0000"}), 3,
            "the third group is not a hexadecimal number of 16 bits"),
    Refuses("LeafBeforeTheFirstLeaf0", Lines({kLeaf1, kLeaf0, kLeaf1}), 1, "a CPUID line before the first leaf 0"),
    // The first unreadable line is named, not a later one.
    Refuses("TwoBadLines", Lines({kLeaf0, "CPUID 00000001:", "CPUID 00000002:"}), 2, "EAX is not"),
    Refuses("TabLayoutLineUnreadable",
            Lines({"CPU-Z", "\t0x00000000  0x00000001 0x756E6547 0x6C65746E 0x49656E69",
                   "\t0x00000001  0x000106A4 0x00100800 0x0098E3BZ 0xBFEBFBFF"}),
            3, "a line of the tab-led layout"),
};

class DumpReadingTable : public ::testing::TestWithParam<ReadingCase> {};

TEST_P(DumpReadingTable, ReadsEveryLineOrNamesTheFirstItCannot) {
    const ReadingCase& c = GetParam();
    std::string text = c.text;
    FILE* file = fmemopen(&text[0], text.size(), "r");
    ASSERT_NE(file, nullptr);
    sim::DumpReading reading;
    sim::ReadDump(file, reading);
    std::fclose(file);

    EXPECT_EQ(reading.badLine, c.badLine) << reading.badLineWhy;
    EXPECT_EQ(reading.badLineWhy.rfind(c.why, 0), 0u) << reading.badLineWhy;
    if (c.badLine != 0) return;
    ASSERT_EQ(static_cast<int>(reading.processors.size()), c.processors);
    EXPECT_EQ(reading.firstBlockInFixedColumns, c.fixedColumns);
    ASSERT_EQ(reading.firstBlock.size(), c.firstBlockLines);
    EXPECT_EQ(reading.firstBlock[1].first, 1u);
    EXPECT_EQ(reading.firstBlock[1].second.eax, 0x000106A4u);
    for (const sim::Processor& p : reading.processors) EXPECT_EQ(p.cpuid.at({1, 0}).edx, 0xBFEBFBFFu);
}

INSTANTIATE_TEST_SUITE_P(Inputs, DumpReadingTable, ::testing::ValuesIn(kReadingCases), case_names::ByName{});

// A read that fails is reported with its error, not as the end of the dump.
TEST(DumpReading, ReadErrorIsReported) {
    FILE* directory = std::fopen(FixturePath("dump_reader").c_str(), "r");
    ASSERT_NE(directory, nullptr);
    sim::DumpReading reading;
    sim::ReadDump(directory, reading);
    std::fclose(directory);
    EXPECT_EQ(reading.readError, EISDIR);
    EXPECT_TRUE(reading.processors.empty());
}

TEST_F(DumpReaderTest, MachineLoaderKeepsTheLineAfterANulByte) {
    std::string path = ::testing::TempDir() + "nul-XXXXXX";
    const int fd = mkstemp(&path[0]);
    ASSERT_GE(fd, 0);
    const char text[] = "CPUID 00000000: 00000001-756E6547-6C65746E-49656E69\n"
                        "junk\0more junk\n"
                        "CPUID 00000001: 000106A4-00100800-0098E3BD-BFEBFBFF\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    std::vector<sim::Processor> processors;
    ASSERT_EQ(sim::LoadDumpProcessors(path.c_str(), processors), 1);
    std::remove(path.c_str());
    EXPECT_EQ(processors[0].cpuid.at({1, 0}).eax, 0x000106A4u);
}

TEST_F(DumpReaderTest, MachineLoaderRefusesDumpsWithoutUsableLeaf0) {
    std::vector<sim::Processor> processors(3);
    for (const char* file : {"missing.txt", "no_usable_leaf0.txt", "tab_layout_without_header.txt"}) {
        EXPECT_EQ(sim::LoadDumpProcessors(ReaderFixture(file).c_str(), processors), 0) << file;
        EXPECT_EQ(processors.size(), 3u) << "left as it was";
    }
}

// Bounded reading: a dump whose leaf 0 and leaf 1 lines come after filler
// that brings them to the edge of what the readers read.
struct BoundCase {
    const char* name;
    unsigned long fillerLines;  // "x" lines, or with fillerBytes, one line of NUL bytes
    unsigned long fillerBytes;  // that line's length, its line end included
    bool leaf0Read;
    bool leaf1Read;
};

constexpr char kLeaf0Line[] = "CPUID 00000000: 00000001-756E6547-6C65746E-49656E69\n";
constexpr char kLeaf1Line[] = "CPUID 00000001: 000106A4-00100800-0098E3BD-BFEBFBFF\n";
constexpr unsigned long kLineBytes = sizeof kLeaf0Line - 1;

class DumpReaderBound : public SimTest, public ::testing::WithParamInterface<BoundCase> {
protected:
    ~DumpReaderBound() override {
        if (!path_.empty()) std::remove(path_.c_str());
    }

    // The filler line of NUL bytes is a hole: nothing of it reaches the disk.
    std::string Write(const BoundCase& c) {
        path_ = ::testing::TempDir() + "bound-XXXXXX";
        const int fd = mkstemp(&path_[0]);
        EXPECT_GE(fd, 0);
        std::string text;
        if (c.fillerBytes > 0) {
            EXPECT_EQ(ftruncate(fd, static_cast<off_t>(c.fillerBytes - 1)), 0);
            EXPECT_EQ(lseek(fd, 0, SEEK_END), static_cast<off_t>(c.fillerBytes - 1));
            text = "\n";
        } else {
            for (unsigned long i = 0; i < c.fillerLines; ++i) text += "x\n";
        }
        text += std::string(kLeaf0Line) + kLeaf1Line;
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        return path_;
    }

    std::string path_;
};

TEST_P(DumpReaderBound, ReadsUpToTheBoundAndNoFurther) {
    const BoundCase& c = GetParam();
    const std::string path = Write(c);
    CpuidRegisters regs;
    EXPECT_EQ(regs.LoadDump(path.c_str()), c.leaf0Read);
    regs.Query(1, 0, false);
    EXPECT_EQ(regs.eax, c.leaf1Read ? 0x000106A4u : 0u);

    std::vector<sim::Processor> processors;
    const int count = sim::LoadDumpProcessors(path.c_str(), processors);
    EXPECT_EQ(count, c.leaf0Read ? 1 : 0) << "the replay's loader stops where the program's reader does";
    if (count == 1) {
        EXPECT_EQ(processors[0].cpuid.count({1, 0}), c.leaf1Read ? 1u : 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, DumpReaderBound,
    ::testing::Values(BoundCase{"BothLinesWithinTheLineBound", kMaxDumpLines - 2, 0, true, true},
                      BoundCase{"Leaf1PastTheLineBound", kMaxDumpLines - 1, 0, true, false},
                      BoundCase{"BothPastTheLineBound", kMaxDumpLines, 0, false, false},
                      BoundCase{"BothLinesWithinTheByteBound", 1, kMaxDumpBytes - 2 * kLineBytes, true, true},
                      BoundCase{"Leaf1CutByTheByteBound", 1, kMaxDumpBytes - 2 * kLineBytes + 1, true, false},
                      BoundCase{"Leaf0CutByTheByteBound", 1, kMaxDumpBytes - kLineBytes + 1, false, false}),
    case_names::ByName{});

// An endless file is what has been read of it when the bound is reached.
TEST_F(DumpReaderTest, EndlessFileEndsAtTheBound) {
    CpuidRegisters regs;
    EXPECT_FALSE(regs.LoadDump("/dev/zero"));
    EXPECT_NE(regs.leafCache, nullptr);
    std::vector<sim::Processor> processors;
    EXPECT_EQ(sim::LoadDumpProcessors("/dev/zero", processors), 0);
}

// The replay's loader keeps what the program can use, however long the dump.
TEST_F(DumpReaderTest, MachineLoaderKeepsWhatTheProgramCanUse) {
    std::string path = ::testing::TempDir() + "many-XXXXXX";
    const int fd = mkstemp(&path[0]);
    ASSERT_GE(fd, 0);
    std::string text;
    for (int block = 0; block < 70; ++block) {
        text += kLeaf0Line;
        for (int n = 0; n < 100; ++n) text += kLeaf1Line;
        text += "CPUID 00000004: 00000001-00000000-00000000-00000000\n";
    }
    for (int msr = 0; msr < 300; ++msr) {
        char line[64];
        std::snprintf(line, sizeof line, "MSR %08X: 0000-0000-0000-0001\n", 0x1000 + msr);
        text += line;
    }
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    std::vector<sim::Processor> processors;
    const int count = sim::LoadDumpProcessors(path.c_str(), processors);
    std::remove(path.c_str());

    ASSERT_EQ(count, 70) << "every block within the bound, as the program walks every processor";
    const sim::Processor& last = processors.back();
    EXPECT_EQ(last.cpuid.count({1, 63}), 1u);
    EXPECT_EQ(last.cpuid.count({1, 64}), 0u) << "repeats beyond 64 subleaves are dropped";
    EXPECT_EQ(last.cpuid.at({1, 0}).eax, 0x000106A4u);
    EXPECT_EQ(last.cpuid.at({4, 0}).eax, 1u) << "the next leaf starts again at subleaf 0";
    EXPECT_EQ(last.sharedMsrs->size(), 256u) << "register lines after the last block still count";
    EXPECT_EQ(last.sharedMsrs, processors.front().sharedMsrs) << "one copy for every processor";
}

// A dump handed over in memory (as the fuzz target does) reads exactly as the
// same bytes in a file, for both readers: fixtures of every layout, whole and cut short
// in the middle of a line.
TEST_F(DumpReaderTest, BytesInMemoryReadAsTheFileDoes) {
    std::vector<std::string> files;
    for (const char* name : {"full_plain.txt", "two_processors.txt", "annotated.txt", "tab_layout.txt", "crlf.txt",
                             "fields.txt", "long_lines.txt", "leaf4_five_times.txt", "leaf11_three_times.txt",
                             "no_final_line_end.txt", "huge_extended.txt", "no_leaf0_first.txt"}) {
        files.push_back(ReaderFixture(name));
    }
    files.push_back(FixturePath("dumps/GenuineIntel00106A4_Bloomfield_CPUID.txt"));
    files.push_back(FixturePath("dumps/AuthenticAMD0A60F12_K19_Raphael_05_CPUID.txt"));
    std::string cut = ::testing::TempDir() + "cut-XXXXXX";
    const int fd = mkstemp(&cut[0]);
    ASSERT_GE(fd, 0);
    close(fd);

    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(whole.empty()) << file;
        for (const std::string& text : {whole, whole.substr(0, whole.size() * 2 / 3)}) {
            SCOPED_TRACE(file + (text.size() == whole.size() ? " whole" : " cut short"));
            std::ofstream(cut, std::ios::binary | std::ios::trunc) << text;

            CpuidRegisters fromFile, fromMemory;
            EXPECT_EQ(fromMemory.LoadDumpBytes(text.data(), text.size()), fromFile.LoadDump(cut.c_str()));
            ASSERT_EQ(fromMemory.maxStdLeaf, fromFile.maxStdLeaf);
            ASSERT_EQ(fromMemory.maxExtLeaf, fromFile.maxExtLeaf);
            auto sameAnswer = [&](uint32_t leaf, uint32_t subleaf) {
                fromFile.Query(leaf, subleaf, false);
                fromMemory.Query(leaf, subleaf, false);
                EXPECT_TRUE(fromMemory.eax == fromFile.eax && fromMemory.ebx == fromFile.ebx &&
                            fromMemory.ecx == fromFile.ecx && fromMemory.edx == fromFile.edx)
                    << std::hex << leaf << "." << subleaf;
            };
            for (uint32_t leaf = 0; leaf <= fromFile.maxStdLeaf; ++leaf) sameAnswer(leaf, 0);
            for (uint32_t leaf = 0x80000000; leaf <= fromFile.maxExtLeaf; ++leaf) sameAnswer(leaf, 0);
            for (uint32_t subleaf = 1; subleaf < 4; ++subleaf) sameAnswer(4, subleaf);
            sameAnswer(11, 1);

            sim::DumpReading fileReading, memoryReading;
            FILE* f = std::fopen(cut.c_str(), "r");
            ASSERT_NE(f, nullptr);
            sim::ReadDump(f, fileReading);
            std::fclose(f);
            sim::ReadDump(text.data(), text.size(), memoryReading);
            EXPECT_EQ(memoryReading.badLine, fileReading.badLine);
            EXPECT_EQ(memoryReading.firstBlockInFixedColumns, fileReading.firstBlockInFixedColumns);
            EXPECT_EQ(memoryReading.firstBlock.size(), fileReading.firstBlock.size());
            ASSERT_EQ(memoryReading.processors.size(), fileReading.processors.size());
            for (size_t i = 0; i < fileReading.processors.size(); ++i) {
                const sim::Processor& a = fileReading.processors[i];
                const sim::Processor& b = memoryReading.processors[i];
                ASSERT_EQ(b.cpuid.size(), a.cpuid.size()) << "processor " << i;
                for (const auto& entry : a.cpuid) {
                    const sim::Registers& r = b.cpuid.at(entry.first);
                    EXPECT_TRUE(r.eax == entry.second.eax && r.ebx == entry.second.ebx &&
                                r.ecx == entry.second.ecx && r.edx == entry.second.edx)
                        << "processor " << i << std::hex << " leaf " << entry.first.first << "." << entry.first.second;
                }
                EXPECT_EQ(*b.sharedMsrs, *a.sharedMsrs) << "processor " << i;
            }
        }
    }
    std::remove(cut.c_str());
}

// Past the most processors any machine has, the loader keeps that many and says so.
TEST_F(DumpReaderTest, MachineLoaderStopsAtTheMostProcessorsTheWalkTakes) {
    const struct {
        size_t blocks;
        int kept;
        bool moreThanKept;
    } cases[] = {{2, 2, false}, {kMaxWalkedProcessors, static_cast<int>(kMaxWalkedProcessors), false},
                 {kMaxWalkedProcessors + 8, static_cast<int>(kMaxWalkedProcessors), true}};
    for (const auto& c : cases) {
        std::string path = ::testing::TempDir() + "blocks-XXXXXX";
        const int fd = mkstemp(&path[0]);
        ASSERT_GE(fd, 0);
        std::string text;
        for (size_t block = 0; block < c.blocks; ++block) text += kLeaf0Line;
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        std::vector<sim::Processor> processors;
        bool moreThanKept = !c.moreThanKept;
        EXPECT_EQ(sim::LoadDumpProcessors(path.c_str(), processors, &moreThanKept), c.kept) << c.blocks;
        EXPECT_EQ(moreThanKept, c.moreThanKept) << c.blocks;
        std::remove(path.c_str());
    }
}

}  // namespace
