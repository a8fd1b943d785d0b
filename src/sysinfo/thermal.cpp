#include <atomic>
#include <cstring>
#include <set>

#include "hwaccess/hw_access.h"
#include "platform/seam.h"
#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"

namespace {

constexpr uint32_t kMsrTemperatureTarget = 0x1A2;
constexpr uint32_t kMsrThermalStatus = 0x19C;
constexpr DWORD kTemperatureWaitMs = 600;
// Northbridge devices 0x18 to 0x1F, one per node.
constexpr int kNorthbridgeDevices = 8;
// What a configuration read returns when no device answers.
constexpr uint32_t kNoDevice = 0xFFFFFFFFu;

// The reported temperature of families 0x10 to 0x16. On Zen, device 0x18
// function 3 belongs to the data fabric and this register is no sensor.
constexpr uint32_t kReportedTemperatureRegister = 0xA4;
// Family 0x15 models 0x60 to 0x7F moved it behind the root complex's index/data pair.
constexpr uint32_t kNbReportedTemperature = 0xD8200CA4;
// Zen reads Tctl over the system management network, through the root complex.
constexpr uint32_t kSmnTctl = 0x00059800;

// Some Zen desktop and workstation parts report Tctl above the die temperature,
// so that their fans start earlier; the report shows the die temperature.
struct TctlOffset {
    const char* namePrefix;
    double degrees;
};
constexpr TctlOffset kTctlOffsets[] = {
    {"AMD Ryzen 5 1600X", 20},
    {"AMD Ryzen 7 1700X", 20},
    {"AMD Ryzen 7 1800X", 20},
    {"AMD Ryzen 7 2700X", 10},
    {"AMD Ryzen Threadripper 19", 27},
    {"AMD Ryzen Threadripper 29", 27},
};

uint8_t Model15TjMax(uint8_t stepping, uint32_t coresPerPackage) {
    if (coresPerPackage == 4) return 90;
    const uint8_t byStepping = stepping >= 9 ? 90 : 80;
    return coresPerPackage == 1 ? static_cast<uint8_t>(byStepping - 5) : byStepping;
}

// Models with an extended model number report their limit; a zero byte means an
// unreadable target. Where the register cannot be read at all, the system's
// sensor driver may still know the limit for the first processor's core.
uint8_t ReportedTjMax(const CSystemInfo& info) {
    uint64_t target64 = 0;
    if (!hw::ReadMsr(kMsrTemperatureTarget, &target64)) {
        double critical = 0;
        if (!info.processors.empty() && hw::ReadCoreSensorCritical(info.processors.front().systemNumber, &critical) &&
            critical >= 1 && critical <= 255) {
            return static_cast<uint8_t>(critical + 0.5);
        }
    }
    const uint8_t target = static_cast<uint8_t>(bits(static_cast<uint32_t>(target64), 23, 16));
    return target != 0 ? target : 100;
}

uint8_t Family6TjMax(const CSystemInfo& info) {
    switch (info.model) {
        case 0x0F: return Model15TjMax(info.stepping, info.coresPerPackage);
        case 0x17: return 100;
        case 0x1C: return info.stepping == 10 ? 100 : 90;
        default: return info.extModel == 0 ? 90 : ReportedTjMax(info);
    }
}

bool LibraryReady(const CSystemInfo& info) {
    return info.driverStatus == 0;
}

// One reading's own result slot. The caller and the thread each hold a share;
// whichever lets go last frees it, so a thread that finishes after its caller
// timed out writes into its own slot, never into a later call's.
struct DtsRequest {
    uint8_t tjMax = 0;
    int32_t temperature = 0;
    bool valid = false;
    std::atomic<int> shares{2};
};

void Release(DtsRequest* request) {
    if (request->shares.fetch_sub(1, std::memory_order_acq_rel) == 1) delete request;
}

// Affinity, priority and resume; false when any of them fails (the thread then never runs).
bool StartPinned(HANDLE thread, int processor) {
    if (!platform::PinThreadTo(thread, processor)) return false;
    if (!SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL)) return false;
    return ResumeThread(thread) != static_cast<DWORD>(-1);
}

// K8: bits 23:16 in degrees above -49, or on revisions with extended model 6
// and 7 bits 23:14 in quarter degrees. Writing 4 to the register first selects
// core 0 of a dual-core node; 0 selects core 1, or the only sensor.
bool ReadK8(const CSystemInfo& info, const ApicEntry& entry, double* out) {
    const uint32_t select = (info.coresPerPackage == 2 && entry.coreId == 0) ? 4 : 0;
    uint32_t v = 0;
    if (!hw::SelectAndReadConfig(hw::ConfigAddress(0, 0x18u + entry.packageId, 3, 0xE4), select, &v)) return false;
    if (v == kNoDevice) return false;
    if (info.extModel == 6 || info.extModel == 7) {
        *out = bits(v, 23, 14) * 0.25 - 49;
    } else {
        *out = static_cast<double>(bits(v, 23, 16)) - 49;
    }
    return true;
}

// Bits 31:21 in eighths of a degree. With both bits 17:16 set (and on Zen with
// bit 19 set) the sensor reports on a range that starts at -49 degrees.
double ReportedTemperature(uint32_t v, bool zen) {
    const bool lowRange = bits(v, 17, 16) == 3 || (zen && bits(v, 19, 19) != 0);
    return bits(v, 31, 21) * 0.125 - (lowRange ? 49 : 0);
}

double TctlOffsetOf(const char* brand, size_t size) {
    for (const TctlOffset& row : kTctlOffsets) {
        const size_t length = std::strlen(row.namePrefix);
        if (length <= size && std::strncmp(brand, row.namePrefix, length) == 0) return row.degrees;
    }
    return 0;
}

// Families 0x10 to 0x16: the register is read, never written, since its low
// bits are the sensor's own settings.
bool ReadNorthbridge(const ApicEntry& entry, double* out) {
    uint32_t v = 0;
    if (!hw::ReadConfig(hw::ConfigAddress(0, 0x18u + entry.packageId, 3, kReportedTemperatureRegister), &v)) {
        return false;
    }
    if (v == kNoDevice) return false;
    *out = ReportedTemperature(v, false);
    return true;
}

bool ReadThroughRootComplex(uint32_t indexRegister, uint32_t dataRegister, uint32_t target, uint32_t* v) {
    return hw::ReadIndexedConfig(hw::ConfigAddress(0, 0, 0, indexRegister), hw::ConfigAddress(0, 0, 0, dataRegister),
                                 target, v) &&
           *v != kNoDevice;
}

// Family 0x15 models 0x60 to 0x7F: one sensor for the node, reached through bus 0.
bool ReadNorthbridgeIndexed(const ApicEntry& entry, double* out) {
    if (entry.packageId != 0) return false;
    uint32_t v = 0;
    if (!ReadThroughRootComplex(hw::kNbIndexRegister, hw::kNbDataRegister, kNbReportedTemperature, &v)) return false;
    *out = ReportedTemperature(v, false);
    return true;
}

// Zen: Tctl belongs to the package. Only package 0's root complex is bus 0
// device 0; the others sit on buses this reader does not know.
bool ReadZen(const CSystemInfo& info, const ApicEntry& entry, double* out) {
    if (entry.packageId != 0) return false;
    uint32_t v = 0;
    if (!ReadThroughRootComplex(hw::kSmnIndexRegister, hw::kSmnDataRegister, kSmnTctl, &v)) return false;
    *out = ReportedTemperature(v, true) - TctlOffsetOf(info.brand, sizeof info.brand);
    return true;
}

// The northbridge's registers, as the family has them.
bool ReadAmdRegisters(const CSystemInfo& info, const ApicEntry& entry, double* out) {
    if (info.extFamily == 0) return ReadK8(info, entry, out);
    if (info.family >= 0x17) return ReadZen(info, entry, out);
    if (info.family == 0x15 && info.model >= 0x60 && info.model <= 0x7F) return ReadNorthbridgeIndexed(entry, out);
    return ReadNorthbridge(entry, out);
}

// The system's own driver for the processor's node: the same value as the
// registers give (Tctl on Zen, before the offset is taken off), readable by any
// user. The system knows which node each of its processors is on, every package's too.
bool ReadAmdSensor(const CSystemInfo& info, const ProcessorEntry& processor, double* out,
                   hw::TemperatureSource* source) {
    const bool zen = info.extFamily != 0 && info.family >= 0x17;
    double t = 0;
    if (!hw::ReadNodeSensor(processor.systemNumber, processor.apic.coreId, &t, source)) return false;
    *out = zen ? t - TctlOffsetOf(info.brand, sizeof info.brand) : t;
    return true;
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
    uint64_t status = 0;
    // Bit 31 says the readout is valid; without it the register holds no reading.
    if (hw::ReadMsr(kMsrThermalStatus, &status) && bits(static_cast<uint32_t>(status), 31, 31) != 0) {
        // The readout counts down from Tj(max).
        request->temperature =
            static_cast<int32_t>(request->tjMax) - static_cast<int32_t>(bits(static_cast<uint32_t>(status), 22, 16));
        request->valid = true;
    }
    Release(request);
    return 0;
}

int CSystemInfo::ReadIntelTemperature(int cpu, double* out) {
    const ProcessorEntry* processor = EntryAt(cpu);
    if (processor == nullptr) return 0;
    if (intelDts != 1) return 0;
    // The system's own sensor driver reads the same register for any user.
    double degrees = 0;
    if (hw::ReadCoreSensor(processor->systemNumber, &degrees)) {
        *out = degrees;
        temperatureSource = hw::TemperatureSource::kCoretemp;
        return 1;
    }
    if (!LibraryReady(*this)) {
        hw::NoteMissingSensor(hw::TemperatureSource::kCoretemp);
        return 0;
    }

    DtsRequest* request = new DtsRequest;
    request->tjMax = tjMax;
    DWORD threadId = 0;
    const HANDLE thread = CreateThread(nullptr, 0, DtsThreadProc, request, CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
        delete request;
        return 0;
    }
    if (!StartPinned(thread, processor->systemNumber)) {
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
    const bool valid = request->valid;
    if (valid) {
        *out = static_cast<double>(request->temperature);
        temperatureSource = hw::TemperatureSource::kMsr;
    }
    Release(request);
    return valid ? 1 : 0;
}

int CSystemInfo::ReadAmdTemperature(int cpu, double* out) {
    const ProcessorEntry* processor = EntryAt(cpu);
    if (processor == nullptr) return 0;
    if (amdThermal != 1) return 0;
    const ApicEntry& entry = processor->apic;
    // Beyond the eighth node the device number would name some other device.
    const bool registersReachable = LibraryReady(*this) && entry.packageId < kNorthbridgeDevices;

    double t = 0;
    hw::TemperatureSource source = hw::TemperatureSource::kPciRegisters;
    const bool read =
        ReadAmdSensor(*this, *processor, &t, &source) || (registersReachable && ReadAmdRegisters(*this, entry, &t));
    if (!read) {
        hw::NoteMissingSensor(extFamily == 0 ? hw::TemperatureSource::kK8temp : hw::TemperatureSource::kK10temp);
        return 0;
    }
    *out = t;
    temperatureSource = source;
    return 1;
}

// Each node once, from the first processor walked on it: its CCDs belong to
// that processor's package.
std::vector<CcdTemperature> CSystemInfo::ReadCcdTemperatures() const {
    std::vector<CcdTemperature> temperatures;
    if (vendor != kVendorAmd || amdThermal != 1) return temperatures;
    std::set<uint32_t> nodesRead;
    for (const ProcessorEntry& processor : processors) {
        uint32_t node = 0;
        if (!processor.walked || !hw::ReadCcdSensors(processor.systemNumber, &node, nullptr)) continue;
        std::vector<hw::CcdSensor> sensors;
        if (!nodesRead.insert(node).second || !hw::ReadCcdSensors(processor.systemNumber, &node, &sensors)) continue;
        for (const hw::CcdSensor& sensor : sensors) {
            CcdTemperature temperature;
            temperature.package = processor.apic.packageId;
            temperature.ccd = sensor.number;
            if (sensor.read) temperature.celsius = sensor.degrees;
            temperatures.push_back(temperature);
        }
    }
    return temperatures;
}

const char* CSystemInfo::TemperatureSource() const {
    return temperatureSource == hw::TemperatureSource::kNone ? nullptr : hw::TemperatureSourceName(temperatureSource);
}
