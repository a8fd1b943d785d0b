#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "hwaccess/hw_access.h"
#include "hwaccess/library_contract.h"
#include "platform/sim/sim_machine.h"

using sim::Machine;

namespace {

// The one module handle the simulated library has.
HMODULE LibraryHandle() {
    static char token;
    return reinterpret_cast<HMODULE>(&token);
}

HMODULE Kernel32Handle() {
    static char token;
    return reinterpret_cast<HMODULE>(&token);
}

sim::Library& Lib() {
    return Machine::Current().library;
}

BOOL WINAPI SimSetDllDirectoryA(LPCSTR directory) {
    const std::string argument = directory ? std::string("\"") + directory + "\"" : "null";
    Lib().moduleCalls.push_back("SetDllDirectoryA(" + argument + ")");
    return 1;
}

// ALL_PROCESSOR_GROUPS is the only argument the program gives.
DWORD WINAPI SimGetActiveProcessorCount(WORD) {
    const sim::Machine& m = sim::Machine::Current();
    return m.library.activeProcessorCount != 0 ? m.library.activeProcessorCount
                                               : static_cast<DWORD>(m.processors.size());
}

BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags) {
    char call[64];
    std::snprintf(call, sizeof call, "SetDefaultDllDirectories(0x%X)", static_cast<unsigned>(flags));
    Lib().moduleCalls.push_back(call);
    return Lib().setDefaultDllDirectoriesResult;
}

DWORD WINAPI SimGetDllStatus() {
    Lib().calls.push_back("GetDllStatus");
    return Lib().status;
}

BOOL WINAPI SimInitializeOls() {
    Lib().calls.push_back("InitializeOls");
    return Lib().initializeResult;
}

VOID WINAPI SimDeinitializeOls() {
    Lib().calls.push_back("DeinitializeOls");
    ++Lib().deinitializeCalls;
}

BOOL WINAPI SimIsMsr() {
    Lib().calls.push_back("IsMsr");
    return Lib().isMsr;
}

BOOL WINAPI SimRdmsr(DWORD index, PDWORD eax, PDWORD edx) {
    Machine& m = Machine::Current();
    m.library.calls.push_back("Rdmsr");
    m.library.msrReads.push_back(index);
    if (index == 0xE8) m.Trace("A");
    const int cpu = m.CurrentProcessor();
    sim::Processor& p = m.processors.at(static_cast<size_t>(cpu));
    if (p.failingMsrs.count(index)) return 0;
    uint64_t value = 0;
    const auto script = p.msrScripts.find(index);
    const auto it = p.msrs.find(index);
    if (script != p.msrScripts.end() && !script->second.empty()) {
        m.Advance(m.clockReadStepNs);
        value = script->second.front();
        script->second.pop_front();
    } else if (it != p.msrs.end()) {
        value = it->second;
    } else if (p.sharedMsrs != nullptr && p.sharedMsrs->count(index)) {
        value = p.sharedMsrs->at(index);
    } else if (index == 0xE8) {
        m.Advance(m.clockReadStepNs);
        value = m.AperfOf(cpu);
    } else {
        return 0;
    }
    *eax = static_cast<DWORD>(value);
    *edx = static_cast<DWORD>(value >> 32);
    return 1;
}

void CountPortAccess() {
    Machine& m = Machine::Current();
    if (m.pciMutex.heldByProgram) {
        ++m.library.portAccessesUnderMutex;
    } else {
        ++m.library.portAccessesWithoutMutex;
    }
}

// The root complex's register the latched address names, or -1 for another device.
int RootComplexRegister(DWORD address) {
    if (!hw::ConfigEnabled(address) || hw::ConfigBus(address) != 0 || hw::ConfigDevice(address) != 0 ||
        hw::ConfigFunction(address) != 0) {
        return -1;
    }
    return static_cast<int>(hw::ConfigRegister(address));
}

bool IsIndexRegister(int reg) {
    return reg == static_cast<int>(hw::kSmnIndexRegister) || reg == static_cast<int>(hw::kNbIndexRegister);
}

// The index register behind a root complex data register.
int IndexRegisterOf(int dataRegister) {
    if (dataRegister == static_cast<int>(hw::kSmnDataRegister)) return static_cast<int>(hw::kSmnIndexRegister);
    if (dataRegister == static_cast<int>(hw::kNbDataRegister)) return static_cast<int>(hw::kNbIndexRegister);
    return -1;
}

VOID WINAPI SimWriteIoPortDword(WORD port, DWORD value) {
    sim::Library& lib = Lib();
    lib.calls.push_back("WriteIoPortDword");
    lib.portWrites.emplace_back(port, value);
    CountPortAccess();
    if (port == ols::kConfigAddressPort) lib.latchedAddress = value;
    const int reg = RootComplexRegister(lib.latchedAddress);
    if (port == ols::kConfigDataPort && IsIndexRegister(reg)) lib.latchedIndexes[reg] = value;
}

DWORD WINAPI SimReadIoPortDword(WORD port) {
    sim::Library& lib = Lib();
    lib.calls.push_back("ReadIoPortDword");
    lib.portReads.push_back(port);
    CountPortAccess();
    if (port != ols::kConfigDataPort || !hw::ConfigEnabled(lib.latchedAddress)) return 0xFFFFFFFFu;
    const DWORD a = lib.latchedAddress;
    if (hw::ConfigBus(a) != 0) return 0xFFFFFFFFu;  // bus 0 only
    const int indexRegister = IndexRegisterOf(RootComplexRegister(a));
    if (indexRegister >= 0) {
        const auto index = lib.latchedIndexes.find(indexRegister);
        if (index == lib.latchedIndexes.end()) return 0xFFFFFFFFu;
        const auto it = lib.indexedRegisters.find({indexRegister, index->second});
        return it == lib.indexedRegisters.end() ? 0xFFFFFFFFu : it->second;
    }
    const auto key = std::make_tuple(static_cast<int>(hw::ConfigDevice(a)), static_cast<int>(hw::ConfigFunction(a)),
                                     static_cast<int>(hw::ConfigRegister(a)));
    const auto it = lib.pciRegisters.find(key);
    return it == lib.pciRegisters.end() ? 0xFFFFFFFFu : it->second;
}

// Resolved for completeness; the program never calls them.
DWORD WINAPI SimUnusedEntryPoint() {
    Lib().calls.push_back("unused");
    return 0;
}

FARPROC SimEntryPoint(const char* name) {
    if (!std::strcmp(name, "GetDllStatus")) return ols::AsFarProc(&SimGetDllStatus);
    if (!std::strcmp(name, "InitializeOls")) return ols::AsFarProc(&SimInitializeOls);
    if (!std::strcmp(name, "DeinitializeOls")) return ols::AsFarProc(&SimDeinitializeOls);
    if (!std::strcmp(name, "IsMsr")) return ols::AsFarProc(&SimIsMsr);
    if (!std::strcmp(name, "Rdmsr")) return ols::AsFarProc(&SimRdmsr);
    if (!std::strcmp(name, "WriteIoPortDword")) return ols::AsFarProc(&SimWriteIoPortDword);
    if (!std::strcmp(name, "ReadIoPortDword")) return ols::AsFarProc(&SimReadIoPortDword);
    for (const char* known : ols::kEntryPointNames) {
        if (!std::strcmp(name, known)) return ols::AsFarProc(&SimUnusedEntryPoint);
    }
    return nullptr;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR name) {
    sim::Library& lib = Lib();
    lib.loadRequests.push_back(name ? name : "");
    lib.moduleCalls.push_back(std::string("LoadLibraryA(") + (name ? name : "null") + ")");
    if (!lib.present || name == nullptr || strcasecmp(name, "WinRing0.dll") != 0) return nullptr;
    return LibraryHandle();
}

HMODULE GetModuleHandleA(LPCSTR name) {
    if (!Lib().kernel32Present || name == nullptr || strcasecmp(name, "kernel32.dll") != 0) return nullptr;
    return Kernel32Handle();
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (name == nullptr) return nullptr;
    if (module == Kernel32Handle()) {
        if (Lib().kernel32HasSetDefaultDllDirectories && !std::strcmp(name, "SetDefaultDllDirectories"))
            return ols::AsFarProc(&SimSetDefaultDllDirectories);
        if (Lib().kernel32HasSetDllDirectory && !std::strcmp(name, "SetDllDirectoryA"))
            return ols::AsFarProc(&SimSetDllDirectoryA);
        if (Lib().kernel32HasGetActiveProcessorCount && !std::strcmp(name, "GetActiveProcessorCount"))
            return ols::AsFarProc(&SimGetActiveProcessorCount);
        return nullptr;
    }
    if (module != LibraryHandle()) return nullptr;
    Lib().lookups.push_back(name);
    if (Lib().missingEntryPoints.count(name)) return nullptr;
    return SimEntryPoint(name);
}

BOOL FreeLibrary(HMODULE module) {
    if (module != LibraryHandle()) return 0;
    Lib().calls.push_back("FreeLibrary");
    ++Lib().freeCalls;
    return 1;
}
