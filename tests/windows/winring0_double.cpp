// A stand-in for WinRing0.dll, for running the real Vexmora.exe without the
// driver. It exports the 54 names the program resolves, with the library's
// calling convention (__stdcall, plain names through the .def file).
//
// Its answers come from the environment, read at each call:
//   WINRING0_DOUBLE_STATUS      GetDllStatus result (default 0)
//   WINRING0_DOUBLE_INIT        InitializeOls result (default 1)
//   WINRING0_DOUBLE_ISMSR       IsMsr result (default 1)
//   WINRING0_DOUBLE_MSR_<hex>   value of that register for Rdmsr; a register
//                               not given fails the read
//   WINRING0_DOUBLE_PCI_<hex>   ReadIoPortDword(0xCFC) after that address was
//                               written to 0xCF8 (default 0xFFFFFFFF, no device)
//   WINRING0_DOUBLE_SMN_<hex>   the root complex's SMN register <hex>: what the
//                               data register 0x64 of bus 0 device 0 reads once
//                               <hex> went to its index register 0x60
//   WINRING0_DOUBLE_LOG         file to which each call of the seven entry
//                               points the program uses is appended, one line
//                               each, plus how the library left the process
// Numbers are C literals (decimal, or hex with 0x). The 47 other entry points
// do nothing and report failure; their parameters are this double's own
// choice, since the program only resolves them.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool NumberFromEnvironment(const char* name, unsigned long long* value) {
    char text[64];
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) return false;
    *value = std::strtoull(text, nullptr, 0);
    return true;
}

DWORD DwordFromEnvironment(const char* name, DWORD fallback) {
    unsigned long long value = fallback;
    NumberFromEnvironment(name, &value);
    return static_cast<DWORD>(value);
}

void Log(const char* line) {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("WINRING0_DOUBLE_LOG", path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    // Appending writes land whole even from the temperature threads.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char text[128];
    const int size = std::snprintf(text, sizeof text, "%s\r\n", line);
    DWORD written = 0;
    if (size > 0) WriteFile(file, text, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
}

// The address last written to the PCI configuration address port.
volatile LONG pciAddress = 0;
// The root complex's SMN index register, as last written.
volatile LONG smnAddress = 0;
constexpr DWORD kSmnIndex = 0x80000060;
constexpr DWORD kSmnData = 0x80000064;

DWORD WINAPI TryPciMutex(LPVOID mutex) {
    const DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return 1;
    ReleaseMutex(mutex);
    return 0;
}

// Whether some thread holds the mutex the PCI port pairs are serialized on.
// Asked from a thread of our own: the caller's thread could always take again
// a mutex it holds.
const char* PciMutexState() {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "Global\\Access_PCI");
    if (mutex == nullptr) return "PCI mutex absent";
    DWORD taken = 0;
    HANDLE probe = CreateThread(nullptr, 0, TryPciMutex, mutex, 0, nullptr);
    if (probe != nullptr) {
        WaitForSingleObject(probe, INFINITE);
        GetExitCodeThread(probe, &taken);
        CloseHandle(probe);
    }
    CloseHandle(mutex);
    return taken == 1 ? "PCI mutex held" : "PCI mutex free";
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // Process detach with no reserved pointer means FreeLibrary unloaded it.
    if (reason == DLL_PROCESS_DETACH) Log(reserved == nullptr ? "FreeLibrary" : "ProcessExit");
    return TRUE;
}

// The seven the program calls.

DWORD WINAPI GetDllStatus() {
    const DWORD status = DwordFromEnvironment("WINRING0_DOUBLE_STATUS", 0);
    char line[64];
    std::snprintf(line, sizeof line, "GetDllStatus -> %lu", static_cast<unsigned long>(status));
    Log(line);
    return status;
}

BOOL WINAPI InitializeOls() {
    const BOOL result = static_cast<BOOL>(DwordFromEnvironment("WINRING0_DOUBLE_INIT", 1));
    char line[64];
    std::snprintf(line, sizeof line, "InitializeOls -> %d", result);
    Log(line);
    return result;
}

VOID WINAPI DeinitializeOls() {
    Log("DeinitializeOls");
}

BOOL WINAPI IsMsr() {
    Log("IsMsr");
    return static_cast<BOOL>(DwordFromEnvironment("WINRING0_DOUBLE_ISMSR", 1));
}

BOOL WINAPI Rdmsr(DWORD index, PDWORD eax, PDWORD edx) {
    char name[48];
    std::snprintf(name, sizeof name, "WINRING0_DOUBLE_MSR_%lX", static_cast<unsigned long>(index));
    unsigned long long value = 0;
    const bool found = NumberFromEnvironment(name, &value);
    char line[96];
    std::snprintf(line, sizeof line, "Rdmsr 0x%lX -> %s", static_cast<unsigned long>(index), found ? "1" : "0");
    Log(line);
    if (!found || eax == nullptr || edx == nullptr) return FALSE;
    *eax = static_cast<DWORD>(value);
    *edx = static_cast<DWORD>(value >> 32);
    return TRUE;
}

VOID WINAPI WriteIoPortDword(WORD port, DWORD value) {
    if (port == 0xCF8) InterlockedExchange(&pciAddress, static_cast<LONG>(value));
    if (port == 0xCFC && static_cast<DWORD>(pciAddress) == kSmnIndex) {
        InterlockedExchange(&smnAddress, static_cast<LONG>(value));
    }
    char line[96];
    std::snprintf(line, sizeof line, "WriteIoPortDword 0x%X 0x%lX (%s)", port, static_cast<unsigned long>(value),
                  PciMutexState());
    Log(line);
}

DWORD WINAPI ReadIoPortDword(WORD port) {
    DWORD value = 0xFFFFFFFF;
    if (port == 0xCFC) {
        const bool smn = static_cast<DWORD>(pciAddress) == kSmnData;
        char name[48];
        std::snprintf(name, sizeof name, smn ? "WINRING0_DOUBLE_SMN_%lX" : "WINRING0_DOUBLE_PCI_%lX",
                      static_cast<unsigned long>(smn ? smnAddress : pciAddress));
        value = DwordFromEnvironment(name, 0xFFFFFFFF);
    }
    char line[96];
    std::snprintf(line, sizeof line, "ReadIoPortDword 0x%X -> 0x%lX (%s)", port, static_cast<unsigned long>(value),
                  PciMutexState());
    Log(line);
    return value;
}

// The other 47: present so that binding succeeds, never called by the program.

DWORD WINAPI GetDllVersion(PBYTE, PBYTE, PBYTE, PBYTE) { return 0; }
DWORD WINAPI GetDriverVersion(PBYTE, PBYTE, PBYTE, PBYTE) { return 0; }
DWORD WINAPI GetDriverType() { return 0; }

BOOL WINAPI IsCpuid() { return FALSE; }
BOOL WINAPI IsTsc() { return FALSE; }

BOOL WINAPI Hlt() { return FALSE; }
BOOL WINAPI Wrmsr(DWORD, DWORD, DWORD) { return FALSE; }
BOOL WINAPI Rdpmc(DWORD, PDWORD, PDWORD) { return FALSE; }
BOOL WINAPI Cpuid(DWORD, PDWORD, PDWORD, PDWORD, PDWORD) { return FALSE; }
BOOL WINAPI Rdtsc(PDWORD, PDWORD) { return FALSE; }

BOOL WINAPI HltTx(DWORD_PTR) { return FALSE; }
BOOL WINAPI RdmsrTx(DWORD, PDWORD, PDWORD, DWORD_PTR) { return FALSE; }
BOOL WINAPI WrmsrTx(DWORD, DWORD, DWORD, DWORD_PTR) { return FALSE; }
BOOL WINAPI RdpmcTx(DWORD, PDWORD, PDWORD, DWORD_PTR) { return FALSE; }
BOOL WINAPI CpuidTx(DWORD, PDWORD, PDWORD, PDWORD, PDWORD, DWORD_PTR) { return FALSE; }
BOOL WINAPI RdtscTx(PDWORD, PDWORD, DWORD_PTR) { return FALSE; }

BOOL WINAPI HltPx(DWORD_PTR) { return FALSE; }
BOOL WINAPI RdmsrPx(DWORD, PDWORD, PDWORD, DWORD_PTR) { return FALSE; }
BOOL WINAPI WrmsrPx(DWORD, DWORD, DWORD, DWORD_PTR) { return FALSE; }
BOOL WINAPI RdpmcPx(DWORD, PDWORD, PDWORD, DWORD_PTR) { return FALSE; }
BOOL WINAPI CpuidPx(DWORD, PDWORD, PDWORD, PDWORD, PDWORD, DWORD_PTR) { return FALSE; }
BOOL WINAPI RdtscPx(PDWORD, PDWORD, DWORD_PTR) { return FALSE; }

BYTE WINAPI ReadIoPortByte(WORD) { return 0xFF; }
WORD WINAPI ReadIoPortWord(WORD) { return 0xFFFF; }
BOOL WINAPI ReadIoPortByteEx(WORD, PBYTE) { return FALSE; }
BOOL WINAPI ReadIoPortWordEx(WORD, PWORD) { return FALSE; }
BOOL WINAPI ReadIoPortDwordEx(WORD, PDWORD) { return FALSE; }

VOID WINAPI WriteIoPortByte(WORD, BYTE) {}
VOID WINAPI WriteIoPortWord(WORD, WORD) {}
BOOL WINAPI WriteIoPortByteEx(WORD, BYTE) { return FALSE; }
BOOL WINAPI WriteIoPortWordEx(WORD, WORD) { return FALSE; }
BOOL WINAPI WriteIoPortDwordEx(WORD, DWORD) { return FALSE; }

VOID WINAPI SetPciMaxBusIndex(BYTE) {}

BYTE WINAPI ReadPciConfigByte(DWORD, BYTE) { return 0xFF; }
WORD WINAPI ReadPciConfigWord(DWORD, BYTE) { return 0xFFFF; }
DWORD WINAPI ReadPciConfigDword(DWORD, BYTE) { return 0xFFFFFFFF; }
BOOL WINAPI ReadPciConfigByteEx(DWORD, DWORD, PBYTE) { return FALSE; }
BOOL WINAPI ReadPciConfigWordEx(DWORD, DWORD, PWORD) { return FALSE; }
BOOL WINAPI ReadPciConfigDwordEx(DWORD, DWORD, PDWORD) { return FALSE; }

VOID WINAPI WritePciConfigByte(DWORD, BYTE, BYTE) {}
VOID WINAPI WritePciConfigWord(DWORD, BYTE, WORD) {}
VOID WINAPI WritePciConfigDword(DWORD, BYTE, DWORD) {}
BOOL WINAPI WritePciConfigByteEx(DWORD, DWORD, BYTE) { return FALSE; }
BOOL WINAPI WritePciConfigWordEx(DWORD, DWORD, WORD) { return FALSE; }
BOOL WINAPI WritePciConfigDwordEx(DWORD, DWORD, DWORD) { return FALSE; }

DWORD WINAPI FindPciDeviceById(WORD, WORD, BYTE) { return 0xFFFFFFFF; }
DWORD WINAPI FindPciDeviceByClass(BYTE, BYTE, BYTE, BYTE) { return 0xFFFFFFFF; }

}  // extern "C"
