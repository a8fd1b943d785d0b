// The Linux stand-in for the hardware-access library and the module services.
#include "platform/win32.h"

HMODULE LoadLibraryA(LPCSTR) {
    return nullptr;
}

HMODULE GetModuleHandleA(LPCSTR) {
    return nullptr;
}

FARPROC GetProcAddress(HMODULE, LPCSTR) {
    return nullptr;
}

BOOL FreeLibrary(HMODULE) {
    return 0;
}
