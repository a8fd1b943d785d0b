// Linux stand-ins for the Windows thread services, over POSIX threads.
//
// A handle is a LinuxThread with two shares: the handle's and the thread's own.
// Whichever of CloseHandle and the thread's end comes last frees it, so a handle
// stays valid until both have happened, whatever their order.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "platform/linux/linux_process.h"
#include "platform/seam.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kWaitForever = 0xFFFFFFFFu;

struct LinuxThread {
    LPTHREAD_START_ROUTINE routine = nullptr;
    LPVOID param = nullptr;
    pthread_t thread{};
    std::mutex mutex;
    std::condition_variable changed;
    bool resumed = false;
    bool closed = false;
    bool finished = false;
    int priority = 0;
    std::atomic<int> shares{2};
};

std::mutex registryMutex;
std::set<LinuxThread*> openHandles;
std::atomic<DWORD> lastThreadId{0};

LinuxThread* Open(HANDLE handle) {
    std::lock_guard<std::mutex> lock(registryMutex);
    LinuxThread* t = static_cast<LinuxThread*>(handle);
    return openHandles.count(t) ? t : nullptr;
}

void Release(LinuxThread* t) {
    if (t->shares.fetch_sub(1, std::memory_order_acq_rel) == 1) delete t;
}

// Windows priorities as nice steps from the process's own value. Raising needs
// privileges Linux may refuse; the thread then runs at the process's priority.
void ApplyPriority(int priority) {
    if (priority == 0) return;
    const int base = getpriority(PRIO_PROCESS, 0);
    const long tid = syscall(SYS_gettid);
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), base - priority);
}

void* ThreadMain(void* arg) {
    LinuxThread* t = static_cast<LinuxThread*>(arg);
    bool run = false;
    int priority = 0;
    {
        std::unique_lock<std::mutex> lock(t->mutex);
        t->changed.wait(lock, [t] { return t->resumed || t->closed; });
        run = t->resumed;
        priority = t->priority;
    }
    // A thread closed while still suspended ends without ever running its routine.
    if (run) {
        ApplyPriority(priority);
        t->routine(t->param);
    }
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->finished = true;
    }
    t->changed.notify_all();
    Release(t);
    return nullptr;
}

bool KnownPriority(int priority) {
    return (priority >= -2 && priority <= 2) || priority == 15 || priority == -15;
}

}  // namespace

HANDLE CreateThread(void*, size_t stackSize, LPTHREAD_START_ROUTINE routine, LPVOID param, DWORD flags,
                    DWORD* threadId) {
    if (routine == nullptr) return nullptr;
    LinuxThread* t = new LinuxThread;
    t->routine = routine;
    t->param = param;
    t->resumed = (flags & CREATE_SUSPENDED) == 0;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) pthread_attr_setstacksize(&attributes, stackSize);
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        openHandles.insert(t);
    }
    const int error = pthread_create(&t->thread, &attributes, ThreadMain, t);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        std::lock_guard<std::mutex> lock(registryMutex);
        openHandles.erase(t);
        delete t;
        return nullptr;
    }
    if (threadId != nullptr) *threadId = ++lastThreadId;
    return t;
}

// Any processor number, beyond what a mask can name: the set is sized for it.
bool platform::PinThreadTo(HANDLE handle, int processor) {
    LinuxThread* t = Open(handle);
    if (t == nullptr) return false;
    // Under the thread's lock it cannot end, so its pthread_t stays valid.
    std::lock_guard<std::mutex> lock(t->mutex);
    return !t->finished && linuxproc::RunThreadOn(t->thread, processor);
}

// Taken when the thread is resumed, the only use the program makes of it.
BOOL SetThreadPriority(HANDLE handle, int priority) {
    LinuxThread* t = Open(handle);
    if (t == nullptr || !KnownPriority(priority)) return 0;
    std::lock_guard<std::mutex> lock(t->mutex);
    t->priority = priority;
    return 1;
}

// Returns the previous suspend count, as Windows does: 1 when it was suspended, 0 when already running.
DWORD ResumeThread(HANDLE handle) {
    LinuxThread* t = Open(handle);
    if (t == nullptr) return static_cast<DWORD>(-1);
    DWORD previous = 0;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        if (!t->resumed) {
            t->resumed = true;
            previous = 1;
        }
    }
    t->changed.notify_all();
    return previous;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    LinuxThread* t = Open(handle);
    if (t == nullptr) return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(t->mutex);
    const auto done = [t] { return t->finished; };
    if (milliseconds == kWaitForever) {
        t->changed.wait(lock, done);
        return WAIT_OBJECT_0;
    }
    return t->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), done) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
    LinuxThread* t = static_cast<LinuxThread*>(handle);
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        if (openHandles.erase(t) == 0) return 0;
    }
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->closed = true;
    }
    t->changed.notify_all();
    Release(t);
    return 1;
}
