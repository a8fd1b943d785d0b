// The contract with the hardware-access library, WinRing0.dll: its 54 entry
// points by name and slot, the types of the ones the program calls, and its
// status numbers. The library's binding and every stand-in for the library
// (the simulated machine, the Windows test doubles) stand on this header.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace ols {

constexpr int kEntryPointCount = 54;
// In the order the binding resolves them.
extern const char* const kEntryPointNames[kEntryPointCount];

// Slots of the entry points the program calls (positions in kEntryPointNames).
enum Slot : int {
    kGetDllStatus = 0,
    kInitializeOls = 4,
    kDeinitializeOls = 5,
    kIsMsr = 7,
    kRdmsr = 10,
    kReadIoPortDword = 29,
    kWriteIoPortDword = 35,
};

using GetDllStatusProc = DWORD(WINAPI*)(void);
using InitializeOlsProc = BOOL(WINAPI*)(void);
using DeinitializeOlsProc = VOID(WINAPI*)(void);
using IsMsrProc = BOOL(WINAPI*)(void);
using RdmsrProc = BOOL(WINAPI*)(DWORD index, PDWORD eax, PDWORD edx);
using WriteIoPortDwordProc = VOID(WINAPI*)(WORD port, DWORD value);
using ReadIoPortDwordProc = DWORD(WINAPI*)(WORD port);

// Casts between FARPROC and typed entry points go through void(*)(), the one
// function type every other may be cast from without a warning.
template <typename Proc>
Proc FromFarProc(FARPROC proc) {
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(proc));
}

template <typename Proc>
FARPROC AsFarProc(Proc proc) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(proc));
}

// The library's status numbers (GetDllStatus), which the record keeps.
constexpr uint8_t kStatusReady = 0;
constexpr uint8_t kStatusUnsupportedPlatform = 1;
constexpr uint8_t kStatusNeedsAdministrator = 2;
constexpr uint8_t kStatusDriverNotFound = 3;
constexpr uint8_t kStatusDriverUnloaded = 4;
constexpr uint8_t kStatusNetworkDrive = 5;
// The program's own status: no status could be obtained from the library.
constexpr uint8_t kNoStatus = 9;

// The PCI configuration mechanism's two ports.
constexpr WORD kConfigAddressPort = 0xCF8;
constexpr WORD kConfigDataPort = 0xCFC;

}  // namespace ols
