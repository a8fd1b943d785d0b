// vexmora-replay: the program's whole report on a simulated machine built from
// a CPUID dump, for debugging a report from a machine one does not have.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/report.h"
#include "capture.h"
#include "cpuid/cpuid_registers.h"
#include "platform/shared/console_text.h"
#include "platform/sim/sim_machine.h"
#include "sysinfo/system_info.h"

namespace {

const char kUsage[] =
    "usage: vexmora-replay [options] DUMP\n"
    "       vexmora-replay --capture FILE [--force]\n"
    "       vexmora-replay --help | --version\n"
    "Prints the report vexmora would print on the machine DUMP describes: one logical\n"
    "processor per block of CPUID lines, the library ready. DUMP - is standard input.\n"
    "  --mhz=F                          time-stamp counter and MSR 0xE8 rate in MHz, digits\n"
    "                                   with at most one point (default 2000)\n"
    "  --library=ready|absent|status:N  the hardware-access library (default ready)\n"
    "  --os=MAJOR.MINOR[.PRODUCTTYPE]   the Windows version (default 10.0.1)\n"
    "  --json                           the report as one JSON document (doc/vexmora.schema.json)\n"
    "  --capture FILE                   write this machine's CPUID as a dump instead (- for\n"
    "                                   standard output); an existing FILE is kept\n"
    "  --force                          with --capture, replace an existing FILE\n"
    "  -h, --help                       print this usage and exit\n"
    "  --version                        print the version and exit\n"
    "  --                               end of the options: what follows is the DUMP\n"
    "--help and --version are answered wherever they stand before --, whatever else is given.\n"
    "DUMP is read once (a pipe, a FIFO or standard input will do), up to 8 MiB or 131072 lines.\n"
    "Exit status: 0 after a report, 1 when a capture fails or is refused or writing to standard\n"
    "output fails, 2 for a bad command line, or a DUMP that cannot be read, is larger than that or\n"
    "has no usable leaf 0 line.\n";

enum class LibraryMode { kReady, kAbsent, kStatus };

// What the command line asks for instead of a report or a capture.
enum class Answer { kNone, kHelp, kVersion };

struct Options {
    double mhz = 2000.0;
    LibraryMode library = LibraryMode::kReady;
    DWORD libraryStatus = 0;
    DWORD osMajor = 10;
    DWORD osMinor = 0;
    BYTE osProductType = VER_NT_WORKSTATION;
    const char* dump = nullptr;
    const char* capture = nullptr;
    bool force = false;
    Answer answer = Answer::kNone;  // the first of --help and --version
    bool json = false;
    bool replayOptions = false;  // any option of a replay was given
};

int UsageError(const std::string& why) {
    std::fprintf(stderr, "vexmora-replay: %s\n%s", why.c_str(), kUsage);
    return 2;
}

// A decimal number up to limit, digits only, the whole text.
bool ParseDecimal(const char* text, unsigned long limit, unsigned long& value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && value <= limit;
}

// Bounded so that virtual tick counts stay far inside 64 bits.
constexpr double kMaxMhz = 1000000.0;

// A decimal number of MHz, as a person writes one: digits with at most one
// point ("5.", ".5"), nothing else: no sign, blank, exponent, hexadecimal
// or "inf", which strtod alone would take.
bool ParseMhz(const char* text, double& mhz) {
    bool digits = false;
    bool point = false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            digits = true;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (!digits) return false;
    mhz = std::strtod(text, nullptr);
    return mhz > 0.0 && mhz <= kMaxMhz;
}

bool ParseLibrary(const char* text, Options& o) {
    unsigned long status;
    if (!std::strcmp(text, "ready")) {
        o.library = LibraryMode::kReady;
    } else if (!std::strcmp(text, "absent")) {
        o.library = LibraryMode::kAbsent;
    } else if (!std::strncmp(text, "status:", 7) && ParseDecimal(text + 7, 0xFFFFFFFFul, status)) {
        o.library = LibraryMode::kStatus;
        o.libraryStatus = static_cast<DWORD>(status);
    } else {
        return false;
    }
    return true;
}

// MAJOR.MINOR[.PRODUCTTYPE], each part decimal.
bool ParseOs(const char* text, Options& o) {
    std::vector<std::string> parts(1);
    for (const char* p = text; *p; ++p) {
        if (*p == '.') {
            parts.emplace_back();
        } else {
            parts.back() += *p;
        }
    }
    if (parts.size() < 2 || parts.size() > 3) return false;
    unsigned long major, minor, productType = VER_NT_WORKSTATION;
    if (!ParseDecimal(parts[0].c_str(), 0xFFFFFFFFul, major) || !ParseDecimal(parts[1].c_str(), 0xFFFFFFFFul, minor))
        return false;
    if (parts.size() == 3 && !ParseDecimal(parts[2].c_str(), 0xFF, productType)) return false;
    o.osMajor = static_cast<DWORD>(major);
    o.osMinor = static_cast<DWORD>(minor);
    o.osProductType = static_cast<BYTE>(productType);
    return true;
}

bool Ask(Options& o, Answer answer) {
    if (o.answer == Answer::kNone) o.answer = answer;
    return true;
}

// How an option takes its value, and which run it belongs to.
enum class Value { kNone, kJoined, kNextArgument };  // --name, --name=VALUE, --name VALUE
// kAnswer: --help and --version, answered wherever they stand, whatever the run.
enum class Run { kReplay, kCapture, kAnswer };

struct OptionRow {
    const char* name;
    Value value;
    Run run;
    bool (*take)(const char* value, Options& o);  // false: a value the option does not take
    const char* valueName;                        // for Value::kNextArgument, in the usage error
};

bool TakeCapture(const char* file, Options& o) {
    if (o.capture != nullptr) return false;  // one capture at a time
    o.capture = file;
    return true;
}

bool TakeJson(const char*, Options& o) {
    o.json = true;
    return true;
}

bool TakeForce(const char*, Options& o) {
    o.force = true;
    return true;
}

const OptionRow kOptions[] = {
    {"--mhz", Value::kJoined, Run::kReplay, [](const char* v, Options& o) { return ParseMhz(v, o.mhz); }, nullptr},
    {"--library", Value::kJoined, Run::kReplay, ParseLibrary, nullptr},
    {"--os", Value::kJoined, Run::kReplay, ParseOs, nullptr},
    {"--json", Value::kNone, Run::kReplay, TakeJson, nullptr},
    {"--capture", Value::kNextArgument, Run::kCapture, TakeCapture, "FILE"},
    {"--force", Value::kNone, Run::kCapture, TakeForce, nullptr},
    {"--help", Value::kNone, Run::kAnswer, [](const char*, Options& o) { return Ask(o, Answer::kHelp); }, nullptr},
    {"-h", Value::kNone, Run::kAnswer, [](const char*, Options& o) { return Ask(o, Answer::kHelp); }, nullptr},
    {"--version", Value::kNone, Run::kAnswer, [](const char*, Options& o) { return Ask(o, Answer::kVersion); }, nullptr},
};

// The row that arg names, and where its value starts; null for none.
const OptionRow* FindOption(const char* arg, const char*& joinedValue) {
    for (const OptionRow& row : kOptions) {
        const size_t length = std::strlen(row.name);
        if (std::strncmp(arg, row.name, length) != 0) continue;
        if (row.value == Value::kJoined ? arg[length] == '=' : arg[length] == '\0') {
            joinedValue = row.value == Value::kJoined ? arg + length + 1 : nullptr;
            return &row;
        }
    }
    return nullptr;
}

// The value of the option at argv[i], the next argument, which it consumes;
// null where the line ends there, or where "--" or an answer stands instead,
// which is taken for itself.
const char* TakeNextArgument(int argc, char** argv, int& i) {
    if (i + 1 >= argc) return nullptr;
    const char* next = argv[i + 1];
    const char* joined = nullptr;
    const OptionRow* row = FindOption(next, joined);
    if (std::strcmp(next, "--") == 0 || (row != nullptr && row->run == Run::kAnswer)) return nullptr;
    ++i;
    return next;
}

// What is wrong with the argument at argv[i] (an operand when `operand`),
// after taking it; "" when nothing is.
std::string TakeArgument(int argc, char** argv, int& i, bool operand, Options& o) {
    const char* arg = argv[i];
    if (operand) {
        if (o.dump != nullptr) return "only one DUMP can be replayed";
        o.dump = arg;
        return "";
    }
    const char* value = nullptr;
    const OptionRow* row = FindOption(arg, value);
    if (row == nullptr) return std::string("bad option: ") + arg;
    if (row->run == Run::kReplay) o.replayOptions = true;
    if (row->value == Value::kNextArgument) {
        const char* next = TakeNextArgument(argc, argv, i);
        if (next == nullptr || !row->take(next, o)) return std::string(row->name) + " needs one " + row->valueName;
        return "";
    }
    return row->take(value, o) ? "" : std::string("bad option: ") + arg;
}

// 0 when the command line is sound, else the exit status of the usage error.
// --help and --version are answered wherever they stand before "--", whatever
// else the line holds, as GNU tools answer them: the rest is checked only
// without them. After "--" every argument is a DUMP.
int ParseCommandLine(int argc, char** argv, Options& o) {
    std::string error;  // the first thing wrong
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!optionsEnded && std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        // "-" is standard input.
        const bool operand = optionsEnded || arg[0] != '-' || arg[1] == '\0';
        const std::string wrong = TakeArgument(argc, argv, i, operand, o);
        if (error.empty()) error = wrong;
    }
    if (o.answer != Answer::kNone) return 0;
    if (!error.empty()) return UsageError(error);
    if (o.capture != nullptr && (o.dump != nullptr || o.replayOptions))
        return UsageError("--capture takes no DUMP and no replay options");
    if (o.force && o.capture == nullptr) return UsageError("--force goes with --capture");
    if (o.capture == nullptr && o.dump == nullptr) return UsageError("no DUMP given");
    return 0;
}

void Configure(sim::Machine& machine, const Options& o) {
    // As the Linux program does: every processor of the dump, however many.
    machine.walk = sim::Machine::Walk::kProcessorSets;
    machine.tscMhz = o.mhz;
    machine.aperfMhz = o.mhz;
    machine.library.present = o.library != LibraryMode::kAbsent;
    machine.library.status = o.library == LibraryMode::kStatus ? o.libraryStatus : 0;
    machine.osMajor = o.osMajor;
    machine.osMinor = o.osMinor;
    machine.osProductType = o.osProductType;
}

// Writes text on standard output and flushes it; false after naming the error
// of the first write or flush that failed (a full disk, a closed stream).
bool WriteOut(const std::string& text, const char* what) {
    errno = 0;
    int error = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) error = errno != 0 ? errno : EIO;
    errno = 0;
    if (std::fflush(stdout) != 0 && error == 0) error = errno != 0 ? errno : EIO;
    if (std::ferror(stdout) && error == 0) error = EIO;
    if (error != 0) std::fprintf(stderr, "vexmora-replay: cannot write %s: %s\n", what, std::strerror(error));
    return error == 0;
}

// What the Linux layer would have shown: message boxes on standard error, the
// report (or the --json document, already UTF-8) on standard output.
int WriteRecorded(const sim::Machine& machine) {
    for (const std::string& note : machine.toolNotes) std::fputs(note.c_str(), stderr);
    for (const sim::MessageBox& box : machine.messageBoxes) {
        std::fprintf(stderr, "Vexmora: %s\n", platform::Windows1252ToUtf8(box.text.c_str()).c_str());
    }
    for (const std::string& note : machine.notes) std::fputs(platform::Windows1252ToUtf8(note.c_str()).c_str(), stderr);
    const std::string text =
        platform::CodePage850ToUtf8(machine.output.data(), machine.output.size()) + machine.document;
    return WriteOut(text, "the report") ? 0 : 1;
}

// DUMP as the readers get it. A regular file is read where it lies; anything
// else (a pipe, a FIFO, /dev/stdin) is read once, into a private temporary
// copy. Where the program's fixed-column reader would read the first block
// otherwise than the replay's loader (annotated lines, a byte-order mark), it
// gets that block rewritten in the plain layout instead, in the temporary
// file. The file is removed when done.
class DumpInput {
public:
    ~DumpInput() {
        if (!tempPath_.empty()) std::remove(tempPath_.c_str());
    }

    // The processors of DUMP (and whether it lists more than are kept); false,
    // after saying why, when it cannot be read, holds more than the program's
    // reader would read, has a line that cannot be read or no usable leaf 0 line.
    bool Read(const char* dump, std::vector<sim::Processor>& processors, bool& moreThanKept);
    const char* path() const { return tempPath_.empty() ? name_.c_str() : tempPath_.c_str(); }
    // DUMP as messages name it.
    const std::string& name() const { return name_; }

private:
    static bool Fail(const std::string& why);
    bool WithinTheBound(FILE* in, FILE* copy);
    FILE* OpenWithinTheBound();
    FILE* OpenTemporary();
    bool CloseTemporary(FILE* out, int error);
    bool WriteFirstBlock(const sim::DumpReading& reading);

    std::string name_;
    std::string tempPath_;
};

bool DumpInput::Fail(const std::string& why) {
    std::fprintf(stderr, "vexmora-replay: %s\n", why.c_str());
    return false;
}

// Reads DUMP to its end or just past the bound, into copy unless it is null;
// false, after saying why, when reading or copying fails or DUMP holds more
// than the program's reader reads. Nothing is kept in memory, whatever the input.
bool DumpInput::WithinTheBound(FILE* in, FILE* copy) {
    unsigned long bytes = 0;
    unsigned long lines = 0;
    bool over = false;
    int readError = 0;
    char chunk[65536];
    while (!over && readError == 0) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, in);
        if (got < sizeof chunk && std::ferror(in)) readError = errno != 0 ? errno : EIO;
        size_t keep = 0;
        // Over the bound as soon as a byte lies beyond what the program's reader reads.
        while (keep < got && !over) {
            if (bytes == kMaxDumpBytes || lines == kMaxDumpLines) {
                over = true;
            } else {
                ++bytes;
                if (chunk[keep++] == '\n') ++lines;
            }
        }
        if (copy != nullptr && std::fwrite(chunk, 1, keep, copy) != keep) {
            return CloseTemporary(copy, errno != 0 ? errno : EIO);
        }
        if (got < sizeof chunk && readError == 0) break;
    }
    if (readError != 0) {
        if (copy != nullptr) std::fclose(copy);
        return Fail("cannot read " + name_ + ": " + std::strerror(readError));
    }
    if (copy != nullptr && !CloseTemporary(copy, 0)) return false;
    if (over) {
        return Fail(name_ + " is larger than the " + std::to_string(kMaxDumpBytes >> 20) + " MiB or " +
                    std::to_string(kMaxDumpLines) + " lines a dump may hold: not replayed");
    }
    return true;
}

// The temporary file, made on first use and emptied on each; null after saying why.
FILE* DumpInput::OpenTemporary() {
    if (tempPath_.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        const std::string dir = tmp != nullptr && *tmp ? tmp : "/tmp";
        std::string name = dir + "/vexmora-replay-XXXXXX";
        const int fd = mkstemp(&name[0]);
        if (fd < 0) {
            Fail("cannot make a temporary file in " + dir + ": " + std::strerror(errno));
            return nullptr;
        }
        close(fd);
        tempPath_ = name;
    }
    FILE* out = std::fopen(tempPath_.c_str(), "we");
    if (out == nullptr) Fail("cannot open " + tempPath_ + ": " + std::strerror(errno));
    return out;
}

// Closes it; false, after saying why, when a write failed (error, that
// write's errno, never what a later call left there) or the close does.
bool DumpInput::CloseTemporary(FILE* out, int error) {
    errno = 0;
    if (error == 0 && std::fflush(out) != 0) error = errno != 0 ? errno : EIO;
    if (std::fclose(out) != 0 && error == 0) error = errno != 0 ? errno : EIO;
    if (error != 0) return Fail("cannot copy " + name_ + " to " + tempPath_ + ": " + std::strerror(error));
    return true;
}

// DUMP itself, read through once and back at its start, or the copy of
// anything else; null after saying why.
FILE* DumpInput::OpenWithinTheBound() {
    // Standard input is always copied: the program's reader needs a name to open.
    const bool standardInput = name_ == "-";
    if (standardInput) name_ = "standard input";
    FILE* in = standardInput ? fdopen(dup(STDIN_FILENO), "r") : std::fopen(name_.c_str(), "re");
    if (in == nullptr) {
        Fail("cannot open " + name_ + ": " + std::strerror(errno));
        return nullptr;
    }
    struct stat status;
    if (!standardInput && fstat(fileno(in), &status) == 0 && S_ISREG(status.st_mode)) {
        if (!WithinTheBound(in, nullptr)) {
            std::fclose(in);
            return nullptr;
        }
        if (std::fseek(in, 0, SEEK_SET) != 0) {
            Fail("cannot read " + name_ + " again: " + std::strerror(errno));
            std::fclose(in);
            return nullptr;
        }
        return in;
    }
    FILE* copy = OpenTemporary();
    const bool copied = copy != nullptr && WithinTheBound(in, copy);
    std::fclose(in);
    if (!copied) return nullptr;
    FILE* reopened = std::fopen(tempPath_.c_str(), "re");
    if (reopened == nullptr) Fail("cannot open " + tempPath_ + ": " + std::strerror(errno));
    return reopened;
}

bool DumpInput::Read(const char* dump, std::vector<sim::Processor>& processors, bool& moreThanKept) {
    name_ = dump;
    FILE* in = OpenWithinTheBound();
    if (in == nullptr) return false;
    sim::DumpReading reading;
    sim::ReadDump(in, reading);
    std::fclose(in);

    if (reading.readError != 0) return Fail("cannot read " + name_ + ": " + std::strerror(reading.readError));
    if (reading.badLine != 0) {
        return Fail(name_ + ", line " + std::to_string(reading.badLine) + ": " + reading.badLineWhy +
                    ": nothing to replay");
    }
    if (reading.processors.empty()) return Fail(name_ + " has no leaf 0 line with a highest leaf: nothing to replay");
    if (!reading.firstBlockInFixedColumns && !WriteFirstBlock(reading)) return false;
    moreThanKept = reading.moreThanKept;
    processors = std::move(reading.processors);
    return true;
}

bool DumpInput::WriteFirstBlock(const sim::DumpReading& reading) {
    FILE* out = OpenTemporary();
    if (out == nullptr) return false;
    int error = 0;
    for (const auto& line : reading.firstBlock) {
        const sim::Registers& r = line.second;
        errno = 0;
        if (WritePlainLine(out, line.first, r.eax, r.ebx, r.ecx, r.edx) < 0) {
            error = errno != 0 ? errno : EIO;
            break;
        }
    }
    return CloseTemporary(out, error);
}

int Replay(const Options& o) {
    DumpInput input;
    std::vector<sim::Processor> processors;
    bool moreThanKept = false;
    if (!input.Read(o.dump, processors, moreThanKept)) return 2;
    // A dump the program's own reader refuses would be replayed as the live
    // fill of whatever its first block says: refuse it here instead.
    if (!CpuidRegisters().LoadDump(input.path())) {
        std::fprintf(stderr, "vexmora-replay: %s declares more leaves than any processor has: nothing to replay\n",
                     input.name().c_str());
        return 2;
    }

    sim::Machine machine(static_cast<int>(processors.size()));
    machine.processors = std::move(processors);
    Configure(machine, o);
    // Said first, and repeated in the document's messages as the program's own lines are.
    if (moreThanKept) {
        const std::string count = std::to_string(kMaxWalkedProcessors);
        machine.toolNotes.push_back("vexmora-replay: " + input.name() + " lists more than " + count +
                                    " processors, more than any machine has: the first " + count + " are replayed\n");
    }
    int status;
    {
        // Destroyed while the machine exists: its teardown unbinds the simulated library.
        CSystemInfo record;
        status = RunProgram(record, input.path(), o.json ? ReportForm::kJson : ReportForm::kFrench);
    }
    const int written = WriteRecorded(machine);
    return written != 0 ? written : status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int usage = ParseCommandLine(argc, argv, options)) return usage;
    switch (options.answer) {
        case Answer::kHelp: return WriteOut(kUsage, "the usage") ? 0 : 1;
        case Answer::kVersion: return WriteOut("vexmora-replay " VEXMORA_VERSION "\n", "the version") ? 0 : 1;
        case Answer::kNone: break;
    }
    if (options.capture != nullptr) return CaptureThisMachine(options.capture, options.force);
    return Replay(options);
}
