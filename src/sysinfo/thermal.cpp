#include <atomic>

#include "hwaccess/ols_library.h"
#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"

namespace {

constexpr uint32_t kMsrTemperatureTarget = 0x1A2;
constexpr uint32_t kMsrThermalStatus = 0x19C;
constexpr DWORD kTemperatureWaitMs = 600;
constexpr WORD kConfigAddressPort = 0xCF8;
constexpr WORD kConfigDataPort = 0xCFC;
// Northbridge devices 0x18 to 0x1F, one per node.
constexpr int kNorthbridgeDevices = 8;

uint8_t Model15TjMax(uint8_t stepping, uint8_t coresPerPackage) {
    if (coresPerPackage == 4) return 90;
    const uint8_t byStepping = stepping >= 9 ? 90 : 80;
    return coresPerPackage == 1 ? static_cast<uint8_t>(byStepping - 5) : byStepping;
}

// Models with an extended model number report their limit; a zero byte means an unreadable target.
uint8_t ReportedTjMax() {
    const uint32_t low = static_cast<uint32_t>(CSystemInfo::ReadMsr(kMsrTemperatureTarget));
    const uint8_t target = static_cast<uint8_t>(bits(low, 23, 16));
    return target != 0 ? target : 100;
}

uint8_t Family6TjMax(const CSystemInfo& info) {
    switch (info.model) {
        case 0x0F: return Model15TjMax(info.stepping, info.coresPerPackage);
        case 0x17: return 100;
        case 0x1C: return info.stepping == 10 ? 100 : 90;
        default: return info.extModel == 0 ? 90 : ReportedTjMax();
    }
}

bool LibraryReady(const CSystemInfo& info) {
    return info.driverStatus == 0;
}

bool PortAccessBound() {
    return ols::entryPoints[ols::kWriteIoPortDword] != nullptr && ols::entryPoints[ols::kReadIoPortDword] != nullptr;
}

// One reading's own result slot. The caller and the thread each hold a share;
// whichever lets go last frees it, so a thread that finishes after its caller
// timed out writes into its own slot, never into a later call's.
struct DtsRequest {
    uint8_t tjMax = 0;
    int32_t temperature = 0;
    std::atomic<int> shares{2};
};

void Release(DtsRequest* request) {
    if (request->shares.fetch_sub(1, std::memory_order_acq_rel) == 1) delete request;
}

// Affinity, priority and resume; false when any of them fails (the thread then never runs).
bool StartPinned(HANDLE thread, int cpu) {
    if (SetThreadAffinityMask(thread, DWORD_PTR{1} << cpu) == 0) return false;
    if (!SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL)) return false;
    return ResumeThread(thread) != static_cast<DWORD>(-1);
}

uint32_t NorthbridgeAddress(int device, uint32_t reg) {
    return 0x80000000u | (static_cast<uint32_t>(device) << 11) | (3u << 8) | reg;
}

DWORD ReadNorthbridge(uint32_t address, DWORD selection) {
    ols::EntryPoint<ols::WriteIoPortDwordProc>(ols::kWriteIoPortDword)(kConfigAddressPort, address);
    ols::EntryPoint<ols::WriteIoPortDwordProc>(ols::kWriteIoPortDword)(kConfigDataPort, selection);
    return ols::EntryPoint<ols::ReadIoPortDwordProc>(ols::kReadIoPortDword)(kConfigDataPort);
}

}  // namespace

void CSystemInfo::DetectThermal() {
    if (vendor == kVendorAmd) {
        cpuid.Query(0x80000007, 0, false);
        if (bits(cpuid.edx, 3, 3)) amdThermal = 1;
        return;
    }
    if (vendor != kVendorIntel) return;
    cpuid.Query(6, 0, false);
    if (bits(cpuid.eax, 0, 0) == 0 || bits(cpuid.ebx, 3, 0) == 0) return;
    if (family == 6) tjMax = Family6TjMax(*this);
    intelDts = tjMax != 0 ? 1 : 0;
}

DWORD WINAPI DtsThreadProc(LPVOID param) {
    DtsRequest* request = static_cast<DtsRequest*>(param);
    const uint32_t status = static_cast<uint32_t>(CSystemInfo::ReadMsr(kMsrThermalStatus));
    // The readout counts down from Tj(max); a failed read therefore gives Tj(max) itself.
    request->temperature = static_cast<int32_t>(request->tjMax) - static_cast<int32_t>(bits(status, 22, 16));
    Release(request);
    return 0;
}

int CSystemInfo::ReadIntelTemperature(int cpu, double* out) {
    if (cpu < 0 || cpu >= logicalCount || cpu >= kMaxLogicalProcessors) return 0;
    if (!LibraryReady(*this) || intelDts != 1) return 0;

    DtsRequest* request = new DtsRequest;
    request->tjMax = tjMax;
    DWORD threadId = 0;
    const HANDLE thread = CreateThread(nullptr, 0, DtsThreadProc, request, CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
        delete request;
        return 0;
    }
    if (!StartPinned(thread, cpu)) {
        CloseHandle(thread);
        delete request;  // never resumed, so the thread never touches it
        return 0;
    }
    if (WaitForSingleObject(thread, kTemperatureWaitMs) != WAIT_OBJECT_0) {
        CloseHandle(thread);
        Release(request);  // the thread may still write its slot; it frees it then
        return 0;
    }
    CloseHandle(thread);
    *out = static_cast<double>(request->temperature);
    Release(request);
    return 1;
}

int CSystemInfo::ReadAmdTemperature(int cpu, double* out) {
    if (cpu < 0 || cpu >= logicalCount || cpu >= kMaxLogicalProcessors) return 0;
    if (!LibraryReady(*this) || amdThermal != 1 || !PortAccessBound()) return 0;
    const ApicEntry& entry = apicTable[cpu];
    // Beyond the eighth node the device number would name some other device.
    if (entry.packageId >= kNorthbridgeDevices) return 0;
    const int device = 0x18 + entry.packageId;

    if (extFamily == 0) {
        const DWORD selection = (coresPerPackage == 2 && entry.coreId == 0) ? 4 : 0;
        const DWORD v = ReadNorthbridge(NorthbridgeAddress(device, 0xE4), selection);
        if (extModel == 6 || extModel == 7) {
            *out = bits(v, 23, 14) * 0.25 - 49;
        } else {
            *out = static_cast<double>(bits(v, 23, 16)) - 49;
        }
    } else {
        const DWORD v = ReadNorthbridge(NorthbridgeAddress(device, 0xA4), 0);
        *out = bits(v, 31, 21) * 0.125;
    }
    return 1;
}
