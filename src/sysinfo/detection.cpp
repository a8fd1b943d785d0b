#include <algorithm>

#include "hwaccess/hw_access.h"
#include "hwaccess/library_contract.h"
#include "sysinfo/system_info.h"

namespace {

const char kCaption[] = "Vexmora";
const char kNotAllProcessors[] = "Skelvane ne peut acc\xE9" "der \xE0 tous les processeurs logiques !";

void Warn(const char* text) {
    MessageBoxA(nullptr, text, kCaption, MB_ICONWARNING);
}

}  // namespace

CSystemInfo systemInfo;

CSystemInfo::~CSystemInfo() {
    hw::CloseAccess(&driverModule);
}

ProcessorEntry* CSystemInfo::EntryAt(int index) {
    return index >= 0 && static_cast<size_t>(index) < processors.size() ? &processors[static_cast<size_t>(index)]
                                                                        : nullptr;
}

const ProcessorEntry* CSystemInfo::EntryAt(int index) const {
    return const_cast<CSystemInfo*>(this)->EntryAt(index);
}

void CSystemInfo::LoadLibraryStep() {
    driverStatus = hw::OpenAccess(&driverModule);
    if (driverStatus != 0) Warn(hw::StatusMessage(driverStatus));
}

int CSystemInfo::Detect(const char* dumpPath) {
    LoadLibraryStep();

    platform::ProcessorWalk walk;
    if (!platform::PlanProcessorWalk(&walk)) {
        Warn("GetProcessAffinityMask Error.");
        return 0;
    }
    if (walk.processors.empty()) {
        Warn(kNotAllProcessors);
        return 0;
    }
    // A process kept off some processors (taskset, a container's cpuset) still
    // gets a true report of the ones it may run on, after the warning.
    if (!walk.wholeSystem) Warn(kNotAllProcessors);

    // The plan stays whole: the restore gives the process back all of it.
    const size_t walked = std::min(walk.processors.size(), kMaxWalkedProcessors);
    processors.assign(walked, ProcessorEntry{});
    for (size_t i = 0; i < walked; ++i) processors[i].systemNumber = walk.processors[i];
    walkStoppedShort = walk.stoppedShort || walked < walk.processors.size() ? 1 : 0;

    if (!SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) Warn("SetPriorityClass Error.");
    WalkProcessors(dumpPath);
    RestoreProcessState(walk);
    SummarizeTopology();
    SummarizeCoreTypes();
    SummarizeCaches();
    return 1;
}

void CSystemInfo::WalkProcessors(const char* dumpPath) {
    for (size_t index = 0; index < processors.size(); ++index) {
        if (!platform::PinProcessTo(processors[index].systemNumber)) {
            Warn("SetProcessAffinityMask Error.");
            continue;
        }
        processors[index].walked = true;
        if (index == 0) RunFirstProcessorPasses(dumpPath);
        DecodeApicId(static_cast<int>(index));
        ReadProcessorCaches(static_cast<int>(index));
        ReadCoreType(static_cast<int>(index));
    }
}

void CSystemInfo::RunFirstProcessorPasses(const char* dumpPath) {
    cpuid.Init(dumpPath);
    ReadIdentification();
    MeasureClock();
    ReadFeatures();
    CountCores();
    DetectThermal();
}

void CSystemInfo::RestoreProcessState(const platform::ProcessorWalk& walk) {
    if (!platform::RestoreProcessAffinity(walk)) Warn("SetProcessAffinityMask Error.");
    if (!SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS)) Warn("SetPriorityClass Error.");
}
