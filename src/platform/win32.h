// The Windows services the core calls, by their Windows names.
// On Windows this is the real API. Elsewhere the same names are declared here
// and implemented by a platform layer: the Linux layer for the real program,
// the simulated machine for tests and replay.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#else
#include <cstddef>
#include <cstdint>

#define WINAPI
#define VOID void

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef DWORD* PDWORD;
typedef uintptr_t DWORD_PTR;
typedef DWORD_PTR* PDWORD_PTR;
typedef int64_t LONGLONG;
typedef void* HANDLE;
typedef void* HWND;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef struct HINSTANCE__* HMODULE;
typedef intptr_t(WINAPI* FARPROC)();
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
typedef UINT MMRESULT;

union LARGE_INTEGER {
    LONGLONG QuadPart;
};

struct TIMECAPS {
    UINT wPeriodMin;
    UINT wPeriodMax;
};

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};

struct OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};

static_assert(sizeof(OSVERSIONINFOA) == 148, "basic version record is 148 bytes");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "extended version record is 156 bytes");

#define HIGH_PRIORITY_CLASS 0x00000080
#define NORMAL_PRIORITY_CLASS 0x00000020
#define MB_ICONWARNING 0x00000030L
#define IDOK 1
#define CREATE_SUSPENDED 0x00000004
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFFu
#define SYNCHRONIZE 0x00100000L
#define MUTEX_MODIFY_STATE 0x0001
#define VER_NT_WORKSTATION 0x0000001
#define TIMERR_NOERROR 0
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800

// Process and thread services.
HANDLE GetCurrentProcess();
BOOL GetProcessAffinityMask(HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask);
BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR mask);
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
void Sleep(DWORD milliseconds);
HANDLE CreateThread(void* attributes, size_t stackSize, LPTHREAD_START_ROUTINE routine, LPVOID param,
                    DWORD flags, DWORD* threadId);
DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask);
BOOL SetThreadPriority(HANDLE thread, int priority);
DWORD ResumeThread(HANDLE thread);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateMutexA(void* attributes, BOOL initialOwner, LPCSTR name);
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// Version query.
BOOL GetVersionExA(OSVERSIONINFOA* info);

// Timing.
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT size);
MMRESULT timeBeginPeriod(UINT period);
DWORD timeGetTime();

// Modules.
HMODULE LoadLibraryA(LPCSTR name);
HMODULE GetModuleHandleA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// User interface.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
#endif
