// The Linux module services, and the hardware-access provider they hand out for
// WinRing0.dll. The provider never performs raw port I/O: MSRs come from the
// kernel's msr driver and the PCI configuration pair 0xCF8/0xCFC is emulated on
// the kernel's configuration files.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hwaccess/ols_library.h"
#include "platform/console_text.h"
#include "platform/linux/linux_hwaccess.h"
#include "platform/seam.h"
#include "platform/win32.h"

namespace {

// MSR indices are 32-bit and used as file offsets.
static_assert(sizeof(off_t) >= 8, "file offsets must reach every MSR index");

constexpr DWORD kStatusReady = 0;
constexpr DWORD kStatusNeedsAdministrator = 2;
constexpr DWORD kStatusDriverNotFound = 3;

constexpr WORD kPciAddressPort = 0xCF8;
constexpr WORD kPciDataPort = 0xCFC;
constexpr DWORD kPciEnable = 0x80000000u;
constexpr DWORD kAllOnes = 0xFFFFFFFFu;
// Bus 0, device 0, function 0: the root complex.
constexpr DWORD kRootComplexMask = 0x80FFFF00u;
constexpr DWORD kRootComplex = kPciEnable;
constexpr DWORD kSmnIndexRegister = 0x60;
constexpr DWORD kSmnDataRegister = 0x64;
constexpr DWORD kSmnTctl = 0x00059800;

std::string hardwareRoot;
DWORD providerStatus = kStatusDriverNotFound;
DWORD latchedPciAddress = 0;
// What the program last wrote to the root complex's SMN index register: kept
// here, never written to the device.
DWORD latchedSmnAddress = 0;
bool smnAddressLatched = false;

// Says once per load (the program loads once per run) what the user can do
// about a missing kernel module.
void HintOnce(bool& said, const char* text) {
    if (said) return;
    said = true;
    platform::WriteNote(("Vexmora: " + platform::Windows1252ToUtf8(text) + "\n").c_str());
}

bool msrHintGiven = false;
bool k10tempHintGiven = false;

HMODULE ProviderHandle() {
    static char token;
    return reinterpret_cast<HMODULE>(&token);
}

DWORD ProbeStatus() {
    const std::string path = hardwareRoot + "/dev/cpu/0/msr";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return kStatusReady;
    }
    // No node means no msr driver; a node that refuses us is a matter of rights.
    if (errno != ENOENT && errno != ENOTDIR) return kStatusNeedsAdministrator;
    HintOnce(msrHintGiven,
             "le module msr du noyau n'est pas charg\xE9 : sans lui, ni coefficients ni temp\xE9ratures Intel. "
             "Chargez-le avec : modprobe msr");
    return kStatusDriverNotFound;
}

bool ReadAt(const std::string& path, off_t offset, unsigned char* bytes, size_t size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t got = pread(fd, bytes, size, offset);
    close(fd);
    return got == static_cast<ssize_t>(size);
}

void WriteAt(const std::string& path, off_t offset, const unsigned char* bytes, size_t size) {
    // No O_CREAT: a device that does not exist takes no write.
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t put = pwrite(fd, bytes, size, offset);
    (void)put;  // a write to the data port has no result
    close(fd);
}

// Bus, device and function of the latched address, as the kernel names the device.
std::string PciConfigPath(DWORD address) {
    char name[64];
    std::snprintf(name, sizeof name, "/sys/bus/pci/devices/0000:%02x:%02x.%x/config", (address >> 16) & 0xFF,
                  (address >> 11) & 0x1F, (address >> 8) & 0x7);
    return hardwareRoot + name;
}

off_t PciRegister(DWORD address) {
    return static_cast<off_t>(address & 0xFC);
}

bool IsRootComplex(DWORD address) {
    return (address & kRootComplexMask) == kRootComplex;
}

// A small text file whole, or "" when it cannot be read.
std::string ReadText(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char text[64];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    return got > 0 ? std::string(text, static_cast<size_t>(got)) : "";
}

// The hwmon directory of the kernel's k10temp driver, or "" without one.
std::string K10tempDirectory() {
    const std::string classDir = hardwareRoot + "/sys/class/hwmon";
    DIR* dir = opendir(classDir.c_str());
    if (dir == nullptr) return "";
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "hwmon", 5) != 0) continue;
        const std::string device = classDir + "/" + entry->d_name;
        const std::string name = ReadText(device + "/name");
        if (name == "k10temp\n" || name == "k10temp") {
            found = device;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Tctl from k10temp's temp1_input (millidegrees), put back into the register's
// form: bits 31:21 in eighths of a degree. The driver has already taken the
// sensor's -49 range into account; a reading below zero goes back into that
// range (bit 19), as the register itself would hold it.
DWORD TctlRegister() {
    const std::string directory = K10tempDirectory();
    if (directory.empty()) {
        HintOnce(k10tempHintGiven,
                 "le module k10temp du noyau n'est pas charg\xE9 : sans lui, pas de temp\xE9rature AMD. "
                 "Chargez-le avec : modprobe k10temp");
        return kAllOnes;
    }
    const std::string text = ReadText(directory + "/temp1_input");
    char* end = nullptr;
    long millidegrees = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || (*end != '\n' && *end != '\0')) return kAllOnes;
    DWORD rangeSelect = 0;
    if (millidegrees < 0) {
        millidegrees += 49000;
        rangeSelect = DWORD{1} << 19;
    }
    if (millidegrees < 0) return kAllOnes;
    const long eighths = (millidegrees + 62) / 125;
    if (eighths > 0x7FF) return kAllOnes;
    return (static_cast<DWORD>(eighths) << 21) | rangeSelect;
}

// The root complex's data port: only Tctl through the SMN pair answers.
DWORD ReadRootComplex(DWORD address) {
    if (PciRegister(address) == kSmnDataRegister && smnAddressLatched && latchedSmnAddress == kSmnTctl) {
        return TctlRegister();
    }
    return kAllOnes;
}

DWORD WINAPI ProviderGetDllStatus() {
    return providerStatus;
}

BOOL WINAPI ProviderInitializeOls() {
    return providerStatus == kStatusReady;
}

VOID WINAPI ProviderDeinitializeOls() {}

BOOL WINAPI ProviderIsMsr() {
    return providerStatus == kStatusReady;
}

// The register of the processor running the caller, as the msr driver gives it:
// eight bytes at the register's index, in the processor's byte order.
BOOL WINAPI ProviderRdmsr(DWORD index, PDWORD eax, PDWORD edx) {
    if (eax == nullptr || edx == nullptr) return 0;
    const int cpu = sched_getcpu();
    if (cpu < 0) return 0;
    const std::string path = hardwareRoot + "/dev/cpu/" + std::to_string(cpu) + "/msr";
    uint64_t value = 0;
    unsigned char bytes[sizeof value];
    if (!ReadAt(path, static_cast<off_t>(index), bytes, sizeof bytes)) return 0;
    std::memcpy(&value, bytes, sizeof value);
    *eax = static_cast<DWORD>(value);
    *edx = static_cast<DWORD>(value >> 32);
    return 1;
}

VOID WINAPI ProviderWriteIoPortDword(WORD port, DWORD value) {
    if (port == kPciAddressPort) {
        latchedPciAddress = value;
        return;
    }
    if (port != kPciDataPort || (latchedPciAddress & kPciEnable) == 0) return;
    if (IsRootComplex(latchedPciAddress)) {
        if (PciRegister(latchedPciAddress) == kSmnIndexRegister) {
            latchedSmnAddress = value;
            smnAddressLatched = true;
        }
        return;
    }
    // PCI configuration space is little-endian.
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    WriteAt(PciConfigPath(latchedPciAddress), PciRegister(latchedPciAddress), bytes, sizeof bytes);
}

DWORD WINAPI ProviderReadIoPortDword(WORD port) {
    if (port == kPciAddressPort) return latchedPciAddress;
    // Nothing answers: the bus floats high, as on hardware.
    if (port != kPciDataPort || (latchedPciAddress & kPciEnable) == 0) return kAllOnes;
    if (IsRootComplex(latchedPciAddress)) return ReadRootComplex(latchedPciAddress);
    unsigned char bytes[4];
    if (!ReadAt(PciConfigPath(latchedPciAddress), PciRegister(latchedPciAddress), bytes, sizeof bytes)) {
        return kAllOnes;
    }
    return DWORD{bytes[0]} | (DWORD{bytes[1]} << 8) | (DWORD{bytes[2]} << 16) | (DWORD{bytes[3]} << 24);
}

// Every other entry point exists so that binding succeeds; none is provided.
DWORD WINAPI ProviderNotProvided() {
    return 0;
}

struct ProvidedEntry {
    const char* name;
    FARPROC proc;
};

FARPROC ProviderEntryPoint(const char* name) {
    const ProvidedEntry provided[] = {
        {"GetDllStatus", ols::AsFarProc(&ProviderGetDllStatus)},
        {"InitializeOls", ols::AsFarProc(&ProviderInitializeOls)},
        {"DeinitializeOls", ols::AsFarProc(&ProviderDeinitializeOls)},
        {"IsMsr", ols::AsFarProc(&ProviderIsMsr)},
        {"Rdmsr", ols::AsFarProc(&ProviderRdmsr)},
        {"WriteIoPortDword", ols::AsFarProc(&ProviderWriteIoPortDword)},
        {"ReadIoPortDword", ols::AsFarProc(&ProviderReadIoPortDword)},
    };
    for (const ProvidedEntry& entry : provided) {
        if (std::strcmp(name, entry.name) == 0) return entry.proc;
    }
    for (const char* known : ols::kEntryPointNames) {
        if (std::strcmp(name, known) == 0) return ols::AsFarProc(&ProviderNotProvided);
    }
    return nullptr;
}

}  // namespace

namespace linuxhw {

void SetHardwareRoot(const std::string& root) {
    hardwareRoot = root;
}

}  // namespace linuxhw

HMODULE LoadLibraryA(LPCSTR name) {
    // Module names are case-insensitive on Windows; no other library exists here.
    if (name == nullptr || strcasecmp(name, "WinRing0.dll") != 0) return nullptr;
    msrHintGiven = false;
    k10tempHintGiven = false;
    providerStatus = ProbeStatus();
    latchedPciAddress = 0;
    smnAddressLatched = false;
    return ProviderHandle();
}

HMODULE GetModuleHandleA(LPCSTR) {
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module != ProviderHandle() || name == nullptr) return nullptr;
    return ProviderEntryPoint(name);
}

BOOL FreeLibrary(HMODULE module) {
    return module == ProviderHandle() ? 1 : 0;
}
