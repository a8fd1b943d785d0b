#include "hwaccess/ols_library.h"

namespace ols {

const char* const kEntryPointNames[kEntryPointCount] = {
    "GetDllStatus", "GetDllVersion", "GetDriverVersion", "GetDriverType", "InitializeOls", "DeinitializeOls",
    "IsCpuid", "IsMsr", "IsTsc",
    "Hlt", "Rdmsr", "Wrmsr", "Rdpmc", "Cpuid", "Rdtsc",
    "HltTx", "RdmsrTx", "WrmsrTx", "RdpmcTx", "CpuidTx", "RdtscTx",
    "HltPx", "RdmsrPx", "WrmsrPx", "RdpmcPx", "CpuidPx", "RdtscPx",
    "ReadIoPortByte", "ReadIoPortWord", "ReadIoPortDword", "ReadIoPortByteEx", "ReadIoPortWordEx",
    "ReadIoPortDwordEx",
    "WriteIoPortByte", "WriteIoPortWord", "WriteIoPortDword", "WriteIoPortByteEx", "WriteIoPortWordEx",
    "WriteIoPortDwordEx",
    "SetPciMaxBusIndex",
    "ReadPciConfigByte", "ReadPciConfigWord", "ReadPciConfigDword", "ReadPciConfigByteEx",
    "ReadPciConfigWordEx", "ReadPciConfigDwordEx",
    "WritePciConfigByte", "WritePciConfigWord", "WritePciConfigDword", "WritePciConfigByteEx",
    "WritePciConfigWordEx", "WritePciConfigDwordEx",
    "FindPciDeviceById", "FindPciDeviceByClass",
};

FARPROC entryPoints[kEntryPointCount] = {};

namespace {

using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD directoryFlags);
using SetDllDirectoryProc = BOOL(WINAPI*)(LPCSTR directory);

// The program runs elevated: a WinRing0.dll planted in the working directory or
// in a folder on PATH must not be the one loaded. Where the system can, the
// search is limited to the executable's folder and the system folder; older
// systems (Vista, 7 without its update) at least lose the current directory,
// which an empty SetDllDirectoryA takes out. Both are looked up at run time
// because older systems lack them.
void RestrictLibrarySearch() {
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return;
    const FARPROC setDefault = GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDefault != nullptr &&
        FromFarProc<SetDefaultDllDirectoriesProc>(setDefault)(LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                                              LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return;
    }
    const FARPROC setDirectory = GetProcAddress(kernel, "SetDllDirectoryA");
    if (setDirectory == nullptr) return;
    FromFarProc<SetDllDirectoryProc>(setDirectory)("");
}

}  // namespace

int LoadDriver(HMODULE* module) {
    RestrictLibrarySearch();
    *module = LoadLibraryA("WinRing0.dll");
    if (*module == nullptr) return 0;
    bool complete = true;
    for (int i = 0; i < kEntryPointCount; ++i) {
        entryPoints[i] = GetProcAddress(*module, kEntryPointNames[i]);
        if (entryPoints[i] == nullptr) complete = false;
    }
    if (!complete) return 0;
    return EntryPoint<InitializeOlsProc>(kInitializeOls)();
}

const char* StatusMessage(uint8_t status) {
    switch (status) {
        case 1: return "Erreur de chargement de WinRing0 ! Plateforme non support\xE9" "e.";
        case 2:
            return "Erreur de chargement de WinRing0 ! Afin de profiter pleinement de\n"
                   "Skelvane, veuillez le relancer avec les droits administrateurs.";
        case 3: return "Erreur de chargement de WinRing0 ! Driver introuvable.";
        case 4: return "Erreur de chargement de WinRing0 ! Driver d\xE9" "charg\xE9" ".";
        case 5:
            return "Erreur de chargement de WinRing0 ! Afin de profiter pleinement de\n"
                   "Skelvane, veuillez le relancer \xE0 partir d'un disque non r\xE9seau.";
        default: return "Erreur de chargement de WinRing0 !";
    }
}

uint8_t StoredStatus(DWORD status) {
    return status > 255 ? 255 : static_cast<uint8_t>(status);
}

uint8_t LibraryStatus(int loaded) {
    if (entryPoints[kGetDllStatus] == nullptr) return kNoStatus;
    const uint8_t status = StoredStatus(EntryPoint<GetDllStatusProc>(kGetDllStatus)());
    // Status 0 opens the gate to IsMsr, Rdmsr and the ports, which may be
    // missing or uninitialised here.
    if (status == 0 && loaded == 0) return kNoStatus;
    return status;
}

void UnloadDriver(HMODULE* module) {
    if (*module == nullptr) return;
    if (entryPoints[kDeinitializeOls] != nullptr) EntryPoint<DeinitializeOlsProc>(kDeinitializeOls)();
    FreeLibrary(*module);
    *module = nullptr;
}

void ForgetEntryPointsForTesting() {
    for (FARPROC& slot : entryPoints) slot = nullptr;
}

}  // namespace ols
