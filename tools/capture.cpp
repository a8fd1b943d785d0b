#include "capture.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cpuid/cpuid_leaf.h"
#include "platform/linux/linux_process.h"

namespace {

// Far more than any processor lists; a terminating entry that never comes cannot run away.
constexpr uint32_t kMaxSubleaves = 64;

using Registers = CpuidLeaf;

// The instruction itself: this tool links the simulated machine, whose
// platform CPUID answers from the dump being replayed.
Registers Cpuid(uint32_t leaf, uint32_t subleaf) {
    Registers r;
    __asm__ volatile("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(subleaf));
    return r;
}

// Where the lines go, and the error of the first write that failed.
struct Output {
    FILE* file;
    int error = 0;
};

void WriteLine(Output& out, uint32_t leaf, const Registers& r) {
    errno = 0;
    if (WritePlainLine(out.file, leaf, r.eax, r.ebx, r.ecx, r.edx) < 0 && out.error == 0)
        out.error = errno != 0 ? errno : EIO;
}

constexpr uint32_t kAmdCacheLeaf = 0x8000001Du;
constexpr uint32_t kAmdTopologyLeaf = 0x80000026u;

// Leaf 4 and AMD's 0x8000001D list caches until one of type 0; leaf 11 and
// AMD's 0x80000026 list levels until one of type 0.
bool EndsList(uint32_t leaf, const Registers& r) {
    const bool levels = leaf == 11 || leaf == kAmdTopologyLeaf;
    return levels ? ((r.ecx >> 8) & 0xFF) == 0 : (r.eax & 0x1F) == 0;
}

// A leaf's subleaf 0; for leaves 4, 11, 0x8000001D and 0x80000026 the following
// subleaves as repeated lines, up to and including the terminating entry: the
// report reads each processor's caches and core type from its own block, and
// 0x80000026 is kept whole as recorded dumps hold it.
void WriteLeaf(Output& out, uint32_t leaf) {
    const bool listsSubleaves = leaf == 4 || leaf == 11 || leaf == kAmdCacheLeaf || leaf == kAmdTopologyLeaf;
    for (uint32_t subleaf = 0; subleaf < kMaxSubleaves; ++subleaf) {
        const Registers r = Cpuid(leaf, subleaf);
        WriteLine(out, leaf, r);
        if (!listsSubleaves || EndsList(leaf, r)) return;
    }
}

// Highest leaves are capped at what the reader accepts.
void WriteBlock(Output& out) {
    const uint32_t maxStd = std::min(Cpuid(0, 0).eax, kMaxTableEntries - 1);
    for (uint32_t leaf = 0; leaf <= maxStd; ++leaf) WriteLeaf(out, leaf);

    const Registers top = Cpuid(kExtendedBase, 0);
    WriteLine(out, kExtendedBase, top);
    if (top.eax <= kExtendedBase) return;
    const uint32_t maxExt = std::min(top.eax, kExtendedBase + kMaxTableEntries - 1);
    for (uint32_t leaf = kExtendedBase + 1; leaf <= maxExt; ++leaf) WriteLeaf(out, leaf);
}

// Blocks in processor order; false when a processor cannot be pinned, since
// its block would describe another one.
bool WriteBlocks(Output& out, const std::vector<int>& allowed, int& count) {
    count = 0;
    for (int cpu : allowed) {
        if (!linuxproc::RunOn({cpu})) {
            std::fprintf(stderr, "vexmora-replay: cannot run on processor %d: %s\n", cpu, std::strerror(errno));
            return false;
        }
        WriteBlock(out);
        ++count;
    }
    return true;
}

// Flushes and closes (standard output is only flushed); the first error of
// the writes, the flush, the file's sync or its close, or 0.
int Finish(Output& out, bool sync) {
    errno = 0;
    if (std::fflush(out.file) != 0 && out.error == 0) out.error = errno != 0 ? errno : EIO;
    if (std::ferror(out.file) && out.error == 0) out.error = EIO;
    // On disk before it is renamed into place: a crash then leaves the old file or the new one.
    if (sync && out.error == 0 && fsync(fileno(out.file)) != 0 && errno != EINVAL) out.error = errno;
    if (out.file != stdout && std::fclose(out.file) != 0 && out.error == 0) out.error = errno != 0 ? errno : EIO;
    return out.error;
}

// A new regular file, or one replaced, gets the capture through a temporary
// file beside it that is renamed into place only once whole: a capture that
// fails leaves the old file as it was.
class Destination {
public:
    Destination(const char* path, bool replace) : name_(path), replace_(replace) {}
    ~Destination() {
        if (!temporary_.empty()) unlink(temporary_.c_str());
    }

    // The stream to write; null after saying why there is none.
    FILE* Open();
    // Puts the written file in place; false after saying why it is not.
    bool Commit(Output& out);
    const std::string& name() const { return name_; }

private:
    bool Fail(const std::string& why, int error) {
        std::fprintf(stderr, "vexmora-replay: %s: %s\n", why.c_str(), std::strerror(error));
        return false;
    }
    bool Refuse() {
        std::fprintf(stderr, "vexmora-replay: %s exists: not replaced (--force replaces it)\n", name_.c_str());
        return false;
    }

    std::string name_;
    bool replace_;
    bool direct_ = false;      // standard output, a FIFO or a device: written as it is
    std::string target_;       // the regular file the capture becomes
    std::string temporary_;
};

FILE* Destination::Open() {
    if (name_ == "-") {
        name_ = "standard output";
        direct_ = true;
        return stdout;
    }
    struct stat status;
    const bool exists = stat(name_.c_str(), &status) == 0;
    if (exists && S_ISDIR(status.st_mode)) {
        Fail("cannot write " + name_, EISDIR);
        return nullptr;
    }
    if (exists && !S_ISREG(status.st_mode)) {
        // Nothing is replaced by writing into a FIFO or a device.
        direct_ = true;
        FILE* out = std::fopen(name_.c_str(), "we");
        if (out == nullptr) Fail("cannot open " + name_, errno);
        return out;
    }
    if (exists && !replace_) {
        Refuse();
        return nullptr;
    }
    // A symbolic link keeps pointing at the capture: the file it names is the one replaced.
    target_ = name_;
    if (exists) {
        char* resolved = realpath(name_.c_str(), nullptr);
        if (resolved != nullptr) {
            target_ = resolved;
            std::free(resolved);
        }
    }
    const size_t slash = target_.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
    std::string temporary = directory + "/.vexmora-replay-XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot make a temporary file in " + directory + " for " + name_, errno);
        return nullptr;
    }
    temporary_ = temporary;
    // The permissions the file has, or those a new file gets.
    mode_t mode;
    if (exists) {
        mode = status.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    FILE* out = fdopen(fd, "w");
    if (out == nullptr) {
        Fail("cannot open " + temporary_, errno);
        close(fd);
    }
    return out;
}

bool Destination::Commit(Output& out) {
    if (const int error = Finish(out, !direct_)) return Fail("cannot write " + name_, error);
    if (direct_) return true;
    if (replace_) {
        if (rename(temporary_.c_str(), target_.c_str()) != 0) return Fail("cannot replace " + name_, errno);
    } else if (link(temporary_.c_str(), target_.c_str()) != 0) {
        // A file made there since the start is not replaced either.
        if (errno == EEXIST) return Refuse();
        // Where the file system has no hard links, rename, short of a file there now.
        struct stat status;
        if (lstat(target_.c_str(), &status) == 0) return Refuse();
        if (rename(temporary_.c_str(), target_.c_str()) != 0) return Fail("cannot create " + name_, errno);
    } else {
        unlink(temporary_.c_str());
    }
    temporary_.clear();
    return true;
}

}  // namespace

int WritePlainLine(FILE* out, uint32_t leaf, uint32_t eax, uint32_t ebx, uint32_t ecx, uint32_t edx) {
    return std::fprintf(out, "CPUID %08X: %08X-%08X-%08X-%08X\n", leaf, eax, ebx, ecx, edx);
}

int CaptureThisMachine(const char* path, bool replace) {
    // Every processor the process may run on, however many: a set sized for them all.
    std::vector<int> allowed;
    if (!linuxproc::ReadAffinity(&allowed)) {
        std::fprintf(stderr, "vexmora-replay: cannot read the processor affinity: %s\n", std::strerror(errno));
        return 1;
    }
    Destination destination(path, replace);
    Output out{destination.Open()};
    if (out.file == nullptr) return 1;
    int count = 0;
    const bool pinned = WriteBlocks(out, allowed, count);
    linuxproc::RunOn(allowed);
    if (!pinned) {
        Finish(out, false);
        return 1;
    }
    if (!destination.Commit(out)) return 1;
    std::fprintf(stderr, "vexmora-replay: %d logical processor%s captured to %s\n", count, count == 1 ? "" : "s",
                 destination.name().c_str());
    // Under a narrower affinity (taskset) the dump describes part of the machine.
    const int online = linuxproc::CountListedProcessors("/sys/devices/system/cpu/online");
    if (online > count) {
        std::fprintf(stderr,
                     "vexmora-replay: only %d of the %d online logical processors captured: this process may not "
                     "run on the others\n",
                     count, online);
    }
    return 0;
}
