// The contract with the hardware-access library, WinRing0.dll: the process-wide
// table of its 54 entry points, binding, status messages and teardown.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace ols {

constexpr int kEntryPointCount = 54;
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

// Resolved once per process by LoadDriver and never cleared.
extern FARPROC entryPoints[kEntryPointCount];

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

template <typename Proc>
Proc EntryPoint(Slot slot) {
    return FromFarProc<Proc>(entryPoints[slot]);
}

// Opens the library, resolves all 54 entry points and initialises it.
// Returns 0 on failure, else the result of InitializeOls.
int LoadDriver(HMODULE* module);

// The message box text for a library status other than 0 (Windows-1252).
const char* StatusMessage(uint8_t status);

// A GetDllStatus value as the record stores it: values above 255 are not
// folded to their low byte, which could turn a failure into 0 ("ready").
uint8_t StoredStatus(DWORD status);

// The program's own status: no status could be obtained from the library.
constexpr uint8_t kNoStatus = 9;

// The status the record keeps after LoadDriver returned `loaded`: the library's
// own, or kNoStatus when GetDllStatus is missing or claims "ready" for a library
// that did not bind or initialise.
uint8_t LibraryStatus(int loaded);

// Deinitialises and frees the library when it was opened, then clears the handle.
void UnloadDriver(HMODULE* module);

// Tests start each case from an unbound process.
void ForgetEntryPointsForTesting();

}  // namespace ols
