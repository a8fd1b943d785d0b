// The Linux module services, and the hardware-access provider they hand out for
// WinRing0.dll. The provider never performs raw port I/O: MSRs come from the
// kernel's msr driver and the PCI configuration pair 0xCF8/0xCFC is emulated on
// the kernel's configuration files.
#include <fcntl.h>
#include <sched.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "hwaccess/ols_library.h"
#include "platform/linux/linux_hwaccess.h"
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

std::string hardwareRoot;
DWORD providerStatus = kStatusDriverNotFound;
DWORD latchedPciAddress = 0;

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
    return errno == ENOENT || errno == ENOTDIR ? kStatusDriverNotFound : kStatusNeedsAdministrator;
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
    // PCI configuration space is little-endian.
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    WriteAt(PciConfigPath(latchedPciAddress), PciRegister(latchedPciAddress), bytes, sizeof bytes);
}

DWORD WINAPI ProviderReadIoPortDword(WORD port) {
    if (port == kPciAddressPort) return latchedPciAddress;
    // Nothing answers: the bus floats high, as on hardware.
    if (port != kPciDataPort || (latchedPciAddress & kPciEnable) == 0) return kAllOnes;
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
    providerStatus = ProbeStatus();
    latchedPciAddress = 0;
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
