#include "platform/sim/sim_machine.h"

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/shared/console_text.h"

namespace sim {

namespace {
Machine* current = nullptr;

bool SingleBit(DWORD_PTR mask) {
    return mask != 0 && (mask & (mask - 1)) == 0;
}
}  // namespace

int LowestBit(DWORD_PTR mask) {
    for (int bit = 0; bit < static_cast<int>(sizeof(DWORD_PTR) * 8); ++bit) {
        if (mask & (DWORD_PTR{1} << bit)) return bit;
    }
    return 0;
}

Machine::Machine(int processorCount) {
    if (current != nullptr) throw std::logic_error("one simulated machine at a time");
    SetProcessorCount(processorCount);
    current = this;
}

Machine::~Machine() {
    // A held-back thread still ends before its machine does, so what it owns is released.
    RunLateThreads();
    current = nullptr;
}

Machine& Machine::Current() {
    if (current == nullptr) throw std::logic_error("no simulated machine");
    return *current;
}

void Machine::SetProcessorCount(int count) {
    processors.resize(static_cast<size_t>(count));
    DWORD_PTR mask = 0;
    for (int i = 0; i < count && i < static_cast<int>(sizeof(DWORD_PTR) * 8); ++i) mask |= DWORD_PTR{1} << i;
    processMask = mask;
    systemMask = mask;
}

void Machine::SetAll(uint32_t leaf, uint32_t subleaf, Registers value) {
    for (Processor& p : processors) p.Set(leaf, subleaf, value);
}

int Machine::CurrentProcessor() const {
    if (runningThreadProcessor >= 0) return runningThreadProcessor;
    if (walk == Walk::kProcessorSets) {
        if (pinnedProcessor >= 0) return pinnedProcessor;
        const std::vector<int> allowed = AllowedProcessors();
        return allowed.empty() ? 0 : allowed.front();
    }
    if (affinity == 0) return 0;
    return LowestBit(affinity);
}

std::vector<int> Machine::AllowedProcessors() const {
    if (!allowedProcessors.empty()) return allowedProcessors;
    std::vector<int> all(processors.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
    return all;
}

uint64_t Machine::TscOf(int processor) const {
    const double ticks = static_cast<double>(nowNs) * tscMhz / 1000.0;
    return processors.at(static_cast<size_t>(processor)).tscOffset + static_cast<uint64_t>(ticks);
}

void Machine::Trace(const char* token) {
    // Tokens are single letters, so a trailing 'c' is a clock read.
    if (std::strcmp(token, "c") == 0 && !readingTrace.empty() && readingTrace.back() == 'c') return;
    if (!readingTrace.empty()) readingTrace += ' ';
    readingTrace += token;
}

uint64_t Machine::AperfOf(int processor) const {
    const double ticks = static_cast<double>(nowNs) * aperfMhz / 1000.0;
    return processors.at(static_cast<size_t>(processor)).aperfOffset + static_cast<uint64_t>(ticks);
}

}  // namespace sim

using sim::Machine;

// --- Windows process services ------------------------------------------------

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL GetProcessAffinityMask(HANDLE, PDWORD_PTR processMask, PDWORD_PTR systemMask) {
    Machine& m = Machine::Current();
    if (m.failAffinityQuery) return 0;
    *processMask = m.affinity != 0 ? m.affinity : m.processMask;
    *systemMask = m.systemMask;
    return 1;
}

BOOL SetProcessAffinityMask(HANDLE, DWORD_PTR mask) {
    Machine& m = Machine::Current();
    const int call = static_cast<int>(m.affinityCalls.size());
    m.affinityCalls.push_back(mask);
    if (m.failingAffinityCalls.count(call)) return 0;
    if (mask == 0 || (mask & ~m.systemMask) != 0) return 0;
    if (sim::SingleBit(mask) && m.failingPins.count(sim::LowestBit(mask))) return 0;
    m.affinity = mask;
    return 1;
}

BOOL SetPriorityClass(HANDLE, DWORD priorityClass) {
    Machine& m = Machine::Current();
    m.priorityCalls.push_back(priorityClass);
    if (priorityClass == HIGH_PRIORITY_CLASS && m.failRaisePriority) return 0;
    if (priorityClass == NORMAL_PRIORITY_CLASS && m.failNormalPriority) return 0;
    m.priorityClass = priorityClass;
    return 1;
}

void Sleep(DWORD milliseconds) {
    Machine& m = Machine::Current();
    m.sleeps.push_back(milliseconds);
    m.Trace("S");
    m.Advance(uint64_t{milliseconds} * 1000000u);
}

// --- Version and user interface ---------------------------------------------

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    Machine& m = Machine::Current();
    const DWORD size = info->dwOSVersionInfoSize;
    m.versionQuerySizes.push_back(size);
    if (size == sizeof(OSVERSIONINFOEXA)) {
        if (m.failExtendedVersionQuery) return 0;
        reinterpret_cast<OSVERSIONINFOEXA*>(info)->wProductType = m.osProductType;
    } else if (size == sizeof(OSVERSIONINFOA)) {
        if (m.failBasicVersionQuery) return 0;
    } else {
        return 0;
    }
    info->dwMajorVersion = m.osMajor;
    info->dwMinorVersion = m.osMinor;
    info->dwPlatformId = 2;
    return 1;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    Machine::Current().messageBoxes.push_back({text ? text : "", caption ? caption : "", type});
    return IDOK;
}

// --- The seam -----------------------------------------------------------------

namespace platform {

CpuidResult ExecuteCpuid(uint32_t leaf, uint32_t subleaf) {
    Machine& m = Machine::Current();
    ++m.cpuidExecutions;
    const sim::Processor& p = m.processors.at(static_cast<size_t>(m.CurrentProcessor()));
    const auto it = p.cpuid.find({leaf, subleaf});
    if (it == p.cpuid.end()) return CpuidResult{0, 0, 0, 0};
    return CpuidResult{it->second.eax, it->second.ebx, it->second.ecx, it->second.edx};
}

uint64_t ReadTimeStampCounter() {
    Machine& m = Machine::Current();
    m.Advance(m.clockReadStepNs);
    m.Trace("T");
    std::deque<uint64_t>& script = m.Cpu(m.CurrentProcessor()).tscScript;
    if (!script.empty()) {
        const uint64_t value = script.front();
        script.pop_front();
        return value;
    }
    return m.TscOf(m.CurrentProcessor());
}

long ElapsedMilliseconds() {
    Machine& m = Machine::Current();
    m.Advance(m.clockReadStepNs);
    m.Trace("c");
    return static_cast<long>(m.nowNs / 1000000u);
}

void WriteReport(const char* bytes, size_t count) {
    Machine::Current().output.append(bytes, count);
}

void WriteDocument(const char* bytes, size_t count) {
    Machine::Current().document.append(bytes, count);
}

void RunPause() {
    ++Machine::Current().pauseCount;
}

ReportDelivery FinishReport() {
    Machine& m = Machine::Current();
    ++m.finishCount;
    m.pauseCountAtFinish = m.pauseCount;
    return m.reportDelivery;
}

void WriteNote(const char* text) {
    Machine::Current().notes.push_back(text);
}

namespace {

// Each line of a text as standard error shows it, without its line end: a
// warning of two lines is two.
void AppendLines(std::vector<std::string>& lines, const std::string& text) {
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

// As the replay shows them: the tool's own lines, the warnings, then the notes.
std::vector<std::string> NotesWritten() {
    const Machine& m = Machine::Current();
    std::vector<std::string> lines;
    for (const std::string& note : m.toolNotes) AppendLines(lines, note);
    for (const sim::MessageBox& box : m.messageBoxes) {
        AppendLines(lines, "Vexmora: " + Windows1252ToUtf8(box.text.c_str()));
    }
    for (const std::string& note : m.notes) AppendLines(lines, Windows1252ToUtf8(note.c_str()));
    return lines;
}

CommandLine ReadCommandLine(int argc, const char* const* argv) {
    Machine& m = Machine::Current();
    m.arguments.assign(argv, argv + argc);
    return m.commandLine;
}

bool DescribeHostOs(char* line, size_t size) {
    const Machine& m = Machine::Current();
    if (m.hostOsLine.empty()) return false;
    std::snprintf(line, size, "%s", m.hostOsLine.c_str());
    return true;
}

}  // namespace platform
