// The hardware seam: model-specific registers, PCI configuration space and the
// system's own temperature sensors. The passes reach hardware only through
// here. Two implementations exist and each platform's build links one: the
// library's binding (hw_access.cpp: the Windows program and the simulated
// machine) and Linux's own (the msr driver, sysfs and hwmon).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32.h"

namespace hw {

// --- The access as a whole --------------------------------------------------

// Opens the access once per run and returns the status the record keeps, in
// the library's numbers (library_contract.h): 0 when registers can be read.
// *module is the library's handle where a library is opened, else null.
uint8_t OpenAccess(HMODULE* module);

// The warning for a status other than 0 (Windows-1252).
const char* StatusMessage(uint8_t status);

// What the report's status line calls the access.
const char* StatusLineName();

// Ends the access; clears *module.
void CloseAccess(HMODULE* module);

// --- Model-specific registers -------------------------------------------------

// The MSR of the logical processor running the caller. False, with *value
// untouched, when the access is not open or the read fails.
bool ReadMsr(uint32_t index, uint64_t* value);

// True only when model-specific registers can be read.
bool MsrAvailable();

// --- PCI configuration space ----------------------------------------------------

// A configuration address as mechanism 1 writes it (enable bit set).
constexpr uint32_t ConfigAddress(uint32_t bus, uint32_t device, uint32_t function, uint32_t reg) {
    return 0x80000000u | (bus << 16) | (device << 11) | (function << 8) | (reg & 0xFCu);
}
constexpr bool ConfigEnabled(uint32_t address) { return (address & 0x80000000u) != 0; }
constexpr uint32_t ConfigBus(uint32_t address) { return (address >> 16) & 0xFF; }
constexpr uint32_t ConfigDevice(uint32_t address) { return (address >> 11) & 0x1F; }
constexpr uint32_t ConfigFunction(uint32_t address) { return (address >> 8) & 0x7; }
constexpr uint32_t ConfigRegister(uint32_t address) { return address & 0xFC; }

// Index/data pairs in the root complex (bus 0, device 0, function 0): the
// system management network's, and the northbridge's of family 0x15 models 0x60 to 0x7F.
constexpr uint32_t kSmnIndexRegister = 0x60;
constexpr uint32_t kSmnDataRegister = 0x64;
constexpr uint32_t kNbIndexRegister = 0xB8;
constexpr uint32_t kNbDataRegister = 0xBC;

// The name other monitoring programs serialize the PCI configuration ports on.
constexpr const char* kPciMutexName = "Global\\Access_PCI";
// How long a reading waits for another program to finish its pair.
constexpr uint32_t kPciMutexWaitMs = 100;

// Each read below returns false when configuration space cannot be reached.
// Where ports are used, it holds the PCI mutex around all of its accesses and
// touches no port when the mutex cannot be had within kPciMutexWaitMs. A device
// that does not answer reads all ones; that is left to the caller to judge.

// One configuration register, without writing it.
bool ReadConfig(uint32_t address, uint32_t* value);

// Writes `select` to a configuration register, then reads it back: for
// registers whose writable bits choose what the read returns.
bool SelectAndReadConfig(uint32_t address, uint32_t select, uint32_t* value);

// A register behind an index/data pair in a device's configuration space:
// `target` goes to the index register, then the data register is read.
bool ReadIndexedConfig(uint32_t indexAddress, uint32_t dataAddress, uint32_t target, uint32_t* value);

// --- The system's own sensors -------------------------------------------------

// Where a temperature came from.
enum class TemperatureSource : uint8_t {
    kNone,          // no reading
    kMsr,           // Intel's thermal status MSR
    kPciRegisters,  // AMD's northbridge or SMN registers
    kCoretemp,      // the kernel's drivers, through hwmon
    kK10temp,
    kK8temp,
};

// A short fixed name for each source: "none", "msr", "pci", "coretemp", "k10temp", "k8temp".
constexpr const char* TemperatureSourceName(TemperatureSource source) {
    switch (source) {
        case TemperatureSource::kNone: return "none";
        case TemperatureSource::kMsr: return "msr";
        case TemperatureSource::kPciRegisters: return "pci";
        case TemperatureSource::kCoretemp: return "coretemp";
        case TemperatureSource::kK10temp: return "k10temp";
        case TemperatureSource::kK8temp: return "k8temp";
    }
    return "none";
}

// Intel: the temperature in degrees of the core that logical processor
// `processor` (the system's number for it) belongs to, as the system's own
// per-core sensor driver gives it to any user. False where the system has
// none; always where the library is the access (it reads the MSR instead).
bool ReadCoreSensor(int processor, double* degrees);

// That sensor's critical temperature for the same core (its Tj max), in degrees.
bool ReadCoreSensorCritical(int processor, double* degrees);

// AMD: the temperature of the node that logical processor `processor` (the
// system's number for it) is on, and for a sensor per core (K8) of its core
// `core`, as the system's own driver gives it to any user: Tctl on Zen.
// *source names the driver. False where the system has none.
bool ReadNodeSensor(int processor, uint32_t core, double* degrees, TemperatureSource* source);

// One CCD's temperature as the node's sensor driver gives it (k10temp's TccdN,
// Zen 2 and later).
struct CcdSensor {
    uint32_t number = 0;  // N of TccdN
    bool read = false;    // false where its input could not be read
    double degrees = 0;
};

// AMD: the node that logical processor `processor` is on, and where `sensors`
// is not null the temperature of each of its CCDs, by number, as the system's
// own driver gives them to any user. False where it gives none.
bool ReadCcdSensors(int processor, uint32_t* node, std::vector<CcdSensor>* sensors);

// A reader found no way to a temperature: where the system could give one
// with a driver it lacks (`wanted`), says once on standard error how to load it.
void NoteMissingSensor(TemperatureSource wanted);

}  // namespace hw
