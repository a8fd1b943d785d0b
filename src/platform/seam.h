// What the core needs beyond the Windows API: the two processor instructions,
// an elapsed-millisecond clock, the console, the "pause" command and the
// command line. Each platform layer (Windows, Linux, simulated machine)
// implements these once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cpuid/cpuid_leaf.h"
#include "platform/win32.h"

namespace platform {

using CpuidResult = CpuidLeaf;

// CPUID with EAX = leaf and ECX = subleaf, on the logical processor running the caller.
CpuidResult ExecuteCpuid(uint32_t leaf, uint32_t subleaf);

// RDTSC on the logical processor running the caller.
uint64_t ReadTimeStampCounter();

// Milliseconds of elapsed (wall-clock) time since some fixed start, as the
// busy waits need. On Windows this is clock(); elsewhere clock() counts
// processor time, so the layer uses a monotonic clock instead.
long ElapsedMilliseconds();

// Report text as the program writes it: single-byte, code page 850 on the console.
void WriteReport(const char* bytes, size_t count);

// How the report reached standard output.
enum class ReportDelivery {
    kWritten,     // every byte written and flushed
    kFailed,      // a write failed (full disk, closed stream): the layer has named the error on standard error
    kReaderGone,  // the pipe's reader closed it: nothing worth a message
};

// The --json document, already UTF-8: written as it is, to the report's stream.
void WriteDocument(const char* bytes, size_t count);

// Flushes what the layer still holds and says how every report write went.
ReportDelivery FinishReport();

// The command interpreter's "pause": waits for a key where a person can press one.
void RunPause();

// What the program's command line asks for. The options and their texts are
// the layer's: Windows ignores the arguments, Linux answers --help and
// --version and takes --json.
enum class CommandLine {
    kReport,    // the report, as with no argument
    kJson,      // the same run, its report written as one JSON document
    kAnswered,  // the layer wrote its answer as report text; the run ends with FinishReport
    kRefused,   // the layer named the bad argument and the usage on standard error
};

CommandLine ReadCommandLine(int argc, const char* const* argv);

// Writes the report's OS line (without line end) for a host that is not
// Windows and returns true; returns false where the Windows version table applies.
bool DescribeHostOs(char* line, size_t size);

// Standard error: every warning, note and hint the program gives beside the
// report passes here, as whole lines ("Vexmora: ...\n") in the program's
// single-byte text (Windows-1252; the Windows program's are ASCII). The report
// written so far goes out first.
void WriteNote(const char* text);

// Every line the run has written to standard error so far, warnings and
// notes, in UTF-8 and without line ends: the --json document carries them.
std::vector<std::string> NotesWritten();

// The detection pass's walk: the logical processors it pins the process to,
// one at a time, by the system's numbers for them.
struct ProcessorWalk {
    std::vector<int> processors;  // in walk order; empty when the affinity shows none
    bool wholeSystem = false;     // the process may run on every processor the system has
    bool stoppedShort = false;    // the system has, or may have, processors the walk cannot reach
};

// False when the process's affinity cannot be read.
bool PlanProcessorWalk(ProcessorWalk* walk);
// Runs the process on that one processor only; true once it runs there.
bool PinProcessTo(int processor);
// Gives the process back the affinity it had when the walk was planned.
bool RestoreProcessAffinity(const ProcessorWalk& walk);
// Pins a thread created suspended to one processor before it first runs.
bool PinThreadTo(HANDLE thread, int processor);

}  // namespace platform
