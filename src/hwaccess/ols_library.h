// The binding of the hardware-access library, WinRing0.dll: the process-wide
// table of its 54 entry points, loading, status messages and teardown.
#pragma once

#include <cstdint>

#include "hwaccess/library_contract.h"
#include "platform/win32.h"

namespace ols {

// Resolved once per process by LoadDriver and never cleared.
extern FARPROC entryPoints[kEntryPointCount];

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

// The status the record keeps after LoadDriver returned `loaded`: the library's
// own, or kNoStatus when GetDllStatus is missing or claims "ready" for a library
// that did not bind or initialise.
uint8_t LibraryStatus(int loaded);

// Deinitialises and frees the library when it was opened, then clears the handle.
void UnloadDriver(HMODULE* module);

// Tests start each case from an unbound process.
void ForgetEntryPointsForTesting();

}  // namespace ols
