// The seam bound to the hardware-access library: the Windows program's access,
// and the simulated machine's, which stands in for every state of the library.
#include "hwaccess/hw_access.h"

#include "hwaccess/ols_library.h"
#include "platform/win32.h"

namespace hw {

namespace {

using ols::kConfigAddressPort;
using ols::kConfigDataPort;

bool PortsBound() {
    return ols::entryPoints[ols::kWriteIoPortDword] != nullptr && ols::entryPoints[ols::kReadIoPortDword] != nullptr;
}

void Out(WORD port, DWORD value) {
    ols::EntryPoint<ols::WriteIoPortDwordProc>(ols::kWriteIoPortDword)(port, value);
}

DWORD In(WORD port) {
    return ols::EntryPoint<ols::ReadIoPortDwordProc>(ols::kReadIoPortDword)(port);
}

// The system-wide PCI mutex for the lifetime of one reading. Another program
// that holds it longer than the wait costs us that reading, never a race.
class PciLock {
public:
    PciLock() {
        mutex_ = CreateMutexA(nullptr, 0, kPciMutexName);
        // Created by a program whose rights let us wait on it but not open it fully.
        if (mutex_ == nullptr) mutex_ = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, 0, kPciMutexName);
        if (mutex_ == nullptr) return;
        const DWORD wait = WaitForSingleObject(mutex_, kPciMutexWaitMs);
        // An owner that ended without releasing it leaves it to us; no pair of
        // its can still be in progress.
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~PciLock() {
        if (held_) ReleaseMutex(mutex_);
        if (mutex_ != nullptr) CloseHandle(mutex_);
    }
    PciLock(const PciLock&) = delete;
    PciLock& operator=(const PciLock&) = delete;

    bool Held() const { return held_; }

private:
    HANDLE mutex_ = nullptr;
    bool held_ = false;
};

}  // namespace

uint8_t OpenAccess(HMODULE* module) {
    return ols::LibraryStatus(ols::LoadDriver(module));
}

const char* StatusMessage(uint8_t status) {
    return ols::StatusMessage(status);
}

const char* StatusLineName() {
    return "WinRing0 Status";
}

void CloseAccess(HMODULE* module) {
    ols::UnloadDriver(module);
}

bool ReadMsr(uint32_t index, uint64_t* value) {
    if (ols::entryPoints[ols::kRdmsr] == nullptr) return false;
    DWORD low = 0;
    DWORD high = 0;
    if (!ols::EntryPoint<ols::RdmsrProc>(ols::kRdmsr)(index, &low, &high)) return false;
    *value = (uint64_t{high} << 32) | low;
    return true;
}

bool MsrAvailable() {
    if (ols::entryPoints[ols::kIsMsr] == nullptr) return false;
    return ols::EntryPoint<ols::IsMsrProc>(ols::kIsMsr)() == 1;
}

bool ReadConfig(uint32_t address, uint32_t* value) {
    if (!PortsBound()) return false;
    const PciLock lock;
    if (!lock.Held()) return false;
    Out(kConfigAddressPort, address);
    *value = In(kConfigDataPort);
    return true;
}

bool SelectAndReadConfig(uint32_t address, uint32_t select, uint32_t* value) {
    if (!PortsBound()) return false;
    const PciLock lock;
    if (!lock.Held()) return false;
    Out(kConfigAddressPort, address);
    Out(kConfigDataPort, select);
    *value = In(kConfigDataPort);
    return true;
}

bool ReadIndexedConfig(uint32_t indexAddress, uint32_t dataAddress, uint32_t target, uint32_t* value) {
    if (!PortsBound()) return false;
    // One hold for both pairs: the index must still be ours when the data is read.
    const PciLock lock;
    if (!lock.Held()) return false;
    Out(kConfigAddressPort, indexAddress);
    Out(kConfigDataPort, target);
    Out(kConfigAddressPort, dataAddress);
    *value = In(kConfigDataPort);
    return true;
}

// The library reads registers only: the temperatures come from the MSR and the
// northbridge's registers, never from a sensor driver of the system.
bool ReadCoreSensor(int, double*) {
    return false;
}

bool ReadCoreSensorCritical(int, double*) {
    return false;
}

bool ReadNodeSensor(int, uint32_t, double*, TemperatureSource*) {
    return false;
}

// The CCDs' sensors sit behind the system management network, which the
// library reaches only through the root complex's pair, for Tctl.
bool ReadCcdSensors(int, uint32_t*, std::vector<CcdSensor>*) {
    return false;
}

// The library's status warning has said all there is to say.
void NoteMissingSensor(TemperatureSource) {}

}  // namespace hw
