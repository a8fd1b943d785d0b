// A simulated machine behind the Windows services, the hardware-access library
// and the processor instructions, for tests and the replay tool. It runs on
// virtual time: nothing waits for real. Constructing one makes it the machine
// every platform call reaches, until it is destroyed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cpuid/cpuid_leaf.h"
#include "platform/seam.h"
#include "platform/win32.h"

namespace sim {

using Registers = CpuidLeaf;

struct Processor {
    // CPUID answers by (leaf, subleaf); anything unlisted reads as zeros.
    std::map<std::pair<uint32_t, uint32_t>, Registers> cpuid;
    // Model-specific registers; MSR 0xE8 ticks on its own unless listed here.
    std::map<uint32_t, uint64_t> msrs;
    // Registers every processor of a dump shares, read where `msrs` has none:
    // one copy for the machine, however many processors it has.
    std::shared_ptr<const std::map<uint32_t, uint64_t>> sharedMsrs;
    std::set<uint32_t> failingMsrs;
    uint64_t tscOffset = 0;
    uint64_t aperfOffset = 0;
    // Scripted readings: while a queue holds values, each read takes the next
    // one instead of the listed or ticking value (time still moves on).
    std::deque<uint64_t> tscScript;
    std::map<uint32_t, std::deque<uint64_t>> msrScripts;

    void Set(uint32_t leaf, uint32_t subleaf, Registers value) { cpuid[{leaf, subleaf}] = value; }
    void Set(uint32_t leaf, Registers value) { cpuid[{leaf, 0}] = value; }
};

struct MessageBox {
    std::string text;
    std::string caption;
    UINT type;
};

// The hardware-access library as LoadLibraryA("WinRing0.dll") finds it.
struct Library {
    bool present = true;
    std::set<std::string> missingEntryPoints;
    DWORD status = 0;        // what GetDllStatus returns
    BOOL initializeResult = 1;
    BOOL isMsr = 1;
    // PCI configuration registers by (device, function, register); absent ones read all ones.
    std::map<std::tuple<int, int, int>, DWORD> pciRegisters;
    // Package 0's root complex (bus 0, device 0, function 0) and its two
    // index/data pairs, 0x60/0x64 (SMN) and 0xB8/0xBC: registers by (index
    // register, address written to it); absent ones read all ones.
    std::map<std::pair<int, DWORD>, DWORD> indexedRegisters;
    // kernel32 as GetModuleHandleA("kernel32.dll") finds it: absent, as on Linux,
    // unless a test offers it.
    bool kernel32Present = false;
    bool kernel32HasSetDllDirectory = true;
    bool kernel32HasSetDefaultDllDirectories = true;
    BOOL setDefaultDllDirectoriesResult = 1;
    // GetActiveProcessorCount(ALL_PROCESSOR_GROUPS), which XP and Vista lack;
    // 0 answers with the processors the machine has.
    bool kernel32HasGetActiveProcessorCount = true;
    DWORD activeProcessorCount = 0;

    // What the program did with it.
    std::vector<std::string> calls;  // entry points called, in order
    std::vector<std::pair<WORD, DWORD>> portWrites;
    std::vector<WORD> portReads;
    std::vector<DWORD> msrReads;  // MSR numbers given to Rdmsr, in order
    std::vector<std::string> loadRequests;  // names given to LoadLibraryA
    std::vector<std::string> lookups;       // names given to GetProcAddress for the library
    // SetDefaultDllDirectories, SetDllDirectoryA and LoadLibraryA calls in order, as "Name(argument)".
    std::vector<std::string> moduleCalls;
    int deinitializeCalls = 0;
    int freeCalls = 0;
    DWORD latchedAddress = 0;
    std::map<int, DWORD> latchedIndexes;  // by index register
    // Port accesses made while the program held the PCI mutex, and without it.
    int portAccessesUnderMutex = 0;
    int portAccessesWithoutMutex = 0;
};

// The named mutex that programs on the machine share.
struct NamedMutex {
    enum class State { kFree, kHeldByAnotherProgram, kAbandoned };
    State state = State::kFree;
    bool refuseHandles = false;  // CreateMutexA and OpenMutexA both fail

    // What the program did with it.
    std::vector<std::string> names;  // given to CreateMutexA and OpenMutexA
    std::vector<DWORD> waits;        // timeouts given to WaitForSingleObject
    bool heldByProgram = false;
    int openHandles = 0;
    int releases = 0;
};

// How the simulated temperature threads behave.
struct ThreadFaults {
    bool failCreate = false;
    bool failAffinity = false;
    bool failPriority = false;
    bool failResume = false;
    bool finishAfterTimeout = false;  // the routine runs only once the wait has timed out
    // With finishAfterTimeout: the late routine runs not when its handle is
    // closed but inside the next successful wait on another thread, after that
    // thread's own routine, as a slow thread could on real hardware.
    bool finishDuringNextWait = false;
};

struct ThreadRecord {
    LPTHREAD_START_ROUTINE routine = nullptr;
    LPVOID param = nullptr;
    DWORD flags = 0;
    DWORD_PTR affinity = 0;
    int priority = 0;
    bool started = false;
    bool finished = false;
    bool closed = false;
    int pinnedProcessor = -1;  // set by a processor-set pin
    int processor = -1;  // where the routine ran
    std::vector<DWORD> waits;  // timeouts given to WaitForSingleObject
};

class Machine {
public:
    explicit Machine(int processorCount = 1);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine& Current();

    // How the program sees the processors: through 32-bit affinity masks, as
    // the Windows program does (up to 32), or through processor sets of any
    // size, as the Linux program does.
    enum class Walk { kWindowsMasks, kProcessorSets };

    // --- configuration -------------------------------------------------
    std::vector<Processor> processors;
    Walk walk = Walk::kWindowsMasks;
    // kProcessorSets: the processors the process may run on (empty: all of them).
    std::vector<int> allowedProcessors;
    DWORD_PTR processMask = 1;  // also what affinity restores compare against
    DWORD_PTR systemMask = 1;
    bool failAffinityQuery = false;
    std::set<int> failingPins;            // processors whose single-bit pin fails
    std::set<int> failingAffinityCalls;   // SetProcessAffinityMask calls (0-based) that fail
    bool failRaisePriority = false;
    bool failNormalPriority = false;

    DWORD osMajor = 10;
    DWORD osMinor = 0;
    BYTE osProductType = VER_NT_WORKSTATION;
    bool failExtendedVersionQuery = false;  // the 156-byte query
    bool failBasicVersionQuery = false;     // the 148-byte query
    std::string hostOsLine;                 // non-empty: reported instead of the Windows table
    // What the report's writes came to, as FinishReport tells the program.
    platform::ReportDelivery reportDelivery = platform::ReportDelivery::kWritten;
    // What ReadCommandLine makes of the arguments.
    platform::CommandLine commandLine = platform::CommandLine::kReport;

    // Virtual time.
    double tscMhz = 2000.0;    // time-stamp counter rate
    double aperfMhz = 2000.0;  // MSR 0xE8 rate
    LONGLONG perfFrequency = 10000000;
    DWORD timeBaseMs = 0;      // timeGetTime at virtual time 0
    uint64_t clockReadStepNs = 20000;  // each clock read moves time on by this much
    MMRESULT devCapsResult = TIMERR_NOERROR;
    TIMECAPS devCaps{1, 1000000};
    // Scripted readings, as for Processor::tscScript.
    std::deque<LONGLONG> perfCounterScript;
    std::deque<DWORD> timeGetTimeScript;

    Library library;
    ThreadFaults threadFaults;
    NamedMutex pciMutex;

    // --- what the program did --------------------------------------------
    uint64_t nowNs = 0;
    DWORD_PTR affinity = 0;       // current process affinity (0: not set yet, all processors)
    DWORD priorityClass = NORMAL_PRIORITY_CLASS;
    std::vector<DWORD_PTR> affinityCalls;
    std::vector<int> processorPins;  // kProcessorSets: processors pinned to, in order
    int pinnedProcessor = -1;        // kProcessorSets: the one the process is pinned to
    int affinityRestores = 0;        // kProcessorSets
    std::vector<std::string> notes;  // lines written to standard error beside the warnings
    // What the tool that runs the machine says on standard error ahead of the
    // program's own lines (the replay's warnings), in UTF-8, line ends included.
    std::vector<std::string> toolNotes;
    std::vector<DWORD> priorityCalls;
    std::vector<DWORD> sleeps;
    std::vector<DWORD> versionQuerySizes;
    std::vector<UINT> beginPeriodCalls;
    std::vector<MessageBox> messageBoxes;
    std::string output;  // report bytes exactly as written
    std::string document;  // what WriteDocument wrote: the --json document, UTF-8
    std::vector<std::string> arguments;  // given to ReadCommandLine, the program's name first
    int pauseCount = 0;
    int finishCount = 0;
    int pauseCountAtFinish = -1;
    std::vector<std::unique_ptr<ThreadRecord>> threads;
    int cpuidExecutions = 0;
    // Timing reads in order, space-separated: F frequency, Q performance
    // counter, T time-stamp counter, M timeGetTime, A MSR 0xE8, S Sleep,
    // c clock (a run of busy-wait reads counts once).
    std::string readingTrace;
    std::vector<ThreadRecord*> lateThreads;  // waiting for finishDuringNextWait

    // --- helpers for tests -----------------------------------------------
    Processor& Cpu(int index) { return processors.at(static_cast<size_t>(index)); }
    // Every processor answers the same leaf.
    void SetAll(uint32_t leaf, uint32_t subleaf, Registers value);
    // Both masks cover processors 0 .. count-1.
    void SetProcessorCount(int count);
    // The processors the process may run on: `allowedProcessors`, or all.
    std::vector<int> AllowedProcessors() const;
    int CurrentProcessor() const;
    uint64_t TscOf(int processor) const;
    uint64_t AperfOf(int processor) const;

    // Used by the platform functions.
    void Advance(uint64_t ns) { nowNs += ns; }
    void Trace(const char* token);
    // Runs the routines that finishDuringNextWait held back.
    void RunLateThreads();
    int runningThreadProcessor = -1;  // set while a simulated thread runs
};

// The processor a mask names first (0 for an empty mask).
int LowestBit(DWORD_PTR mask);

// What one reading of a CPUID dump gives.
struct DumpReading {
    // One per block; none when the dump has no leaf 0 line with a highest leaf.
    std::vector<Processor> processors;
    bool moreThanKept = false;  // more blocks than the walk takes follow the last one kept
    // The first line (counted from 1) that names itself a CPUID or MSR line, or
    // belongs to the tab-led layout, but cannot be read, and why; 0 when none.
    unsigned long badLine = 0;
    std::string badLineWhy;
    int readError = 0;  // the errno of a failed read, 0 when none
    // The first block's CPUID lines in their order, the lines the program's
    // reader takes; and whether the file gives that fixed-column reader these
    // very lines, or needs them rewritten in the plain layout first.
    std::vector<std::pair<uint32_t, Registers>> firstBlock;
    bool firstBlockInFixedColumns = true;
};

// Reads a plain or annotated CPUID dump once, from any stream, a pipe too:
// "CPUID LLLLLLLL: A-B-C-D" lines (or the tab-led layout after a "CPU-Z"
// header), a block per leaf 0 line, repeats as further subleaves; "MSR
// IIIIIIII: HHHH-HHHH-HHHH-HHHH" lines for every processor. Keywords and hex
// digits in either case, blanks around the fields, anything after the fourth
// value, CR LF line ends and a byte-order mark are accepted. Reads no more
// than the program's reader does, keeps every block within that bound up to
// the most processors the walk takes, and at most 64 subleaves of a leaf and
// 256 registers.
void ReadDump(FILE* file, DumpReading& reading);
// The same from a dump already in memory.
void ReadDump(const char* bytes, size_t size, DumpReading& reading);

// ReadDump's processors from a file, whatever lines it could not read (where
// there are more blocks than it keeps, sets *moreThanKept).
// Returns the number of processors read, 0 when the file has no usable block.
int LoadDumpProcessors(const char* path, std::vector<Processor>& processors, bool* moreThanKept = nullptr);

}  // namespace sim
