// Linux stand-ins for the Windows thread services.
#include "platform/win32.h"

HANDLE CreateThread(void*, size_t, LPTHREAD_START_ROUTINE, LPVOID, DWORD, DWORD*) {
    return nullptr;
}

DWORD_PTR SetThreadAffinityMask(HANDLE, DWORD_PTR) {
    return 0;
}

BOOL SetThreadPriority(HANDLE, int) {
    return 0;
}

DWORD ResumeThread(HANDLE) {
    return static_cast<DWORD>(-1);
}

DWORD WaitForSingleObject(HANDLE, DWORD) {
    return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE) {
    return 0;
}
