// Processor lists and affinity sets of any size, for the Linux layer and the
// replay tool's capture alike: a 32-bit mask or a fixed cpu_set_t (1024) may
// not hold every processor of a machine.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/linux/linux_process.h"

namespace {

const char kPossibleList[] = "/sys/devices/system/cpu/possible";

// A decimal number at the file's position, the character after it put back;
// false at anything else. Read by hand: scanf would bring the C library's
// whole formatted input, and its floating-point parsers, into the program.
bool ReadListedNumber(FILE* file, int* value) {
    int c = std::fgetc(file);
    if (c < '0' || c > '9') return false;
    long number = 0;
    for (; c >= '0' && c <= '9'; c = std::fgetc(file)) {
        number = number * 10 + (c - '0');
        if (number > INT_MAX) return false;
    }
    std::ungetc(c, file);
    *value = static_cast<int>(number);
    return true;
}

// Calls visit(cpu) for each processor of a list of ranges such as "0-3,5,8-11".
template <typename Visit>
void ForEachListedProcessor(const char* path, Visit visit) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return;
    int first;
    while (ReadListedNumber(file, &first)) {
        int last = first;
        int c = std::fgetc(file);
        if (c == '-') {
            if (!ReadListedNumber(file, &last)) break;
            c = std::fgetc(file);
        }
        for (int cpu = first; cpu <= last; ++cpu) visit(cpu);
        if (c != ',') break;
    }
    std::fclose(file);
}

// The set size the kernel took for the affinity: it refuses a smaller one.
int kernelSetProcessors = 0;

// An affinity set sized for `processors` processors.
class ProcessorSet {
public:
    explicit ProcessorSet(int processors)
        : count_(processors < 1 ? 1 : processors), set_(CPU_ALLOC(count_)), size_(CPU_ALLOC_SIZE(count_)) {
        if (set_ != nullptr) CPU_ZERO_S(size_, set_);
    }
    // A set of these processors, at least as large as the kernel's; none
    // (no data) for an empty list or a negative number.
    explicit ProcessorSet(const std::vector<int>& members) : ProcessorSet(SizeFor(members)) {
        if (members.empty() || *std::min_element(members.begin(), members.end()) < 0) {
            CPU_FREE(set_);
            set_ = nullptr;
            return;
        }
        if (set_ != nullptr) {
            for (int cpu : members) CPU_SET_S(static_cast<size_t>(cpu), size_, set_);
        }
    }
    ~ProcessorSet() { CPU_FREE(set_); }
    ProcessorSet(const ProcessorSet&) = delete;
    ProcessorSet& operator=(const ProcessorSet&) = delete;

    cpu_set_t* data() const { return set_; }
    size_t size() const { return size_; }
    int count() const { return count_; }

private:
    static int SizeFor(const std::vector<int>& members) {
        int count = kernelSetProcessors;
        for (int cpu : members) count = std::max(count, cpu + 1);
        return count;
    }

    int count_;
    cpu_set_t* set_;
    size_t size_;
};

}  // namespace

namespace linuxproc {

std::vector<int> ListedProcessors(const char* path) {
    std::vector<int> processors;
    ForEachListedProcessor(path, [&processors](int cpu) { processors.push_back(cpu); });
    return processors;
}

int CountListedProcessors(const char* path) {
    return static_cast<int>(ListedProcessors(path).size());
}

int PossibleProcessorCount(const char* path) {
    const std::vector<int> listed = ListedProcessors(path);
    return listed.empty() ? 0 : *std::max_element(listed.begin(), listed.end()) + 1;
}

std::vector<int> ProcessorsInSet(const cpu_set_t* set, size_t setSize) {
    std::vector<int> processors;
    const size_t bits = setSize * 8;
    for (size_t cpu = 0; cpu < bits; ++cpu) {
        if (CPU_ISSET_S(cpu, setSize, set)) processors.push_back(static_cast<int>(cpu));
    }
    return processors;
}

bool ReadAffinity(std::vector<int>* processors) {
    // Sized for every possible processor; a kernel built for more refuses it with EINVAL: grow it.
    const int possible = PossibleProcessorCount(kPossibleList);
    for (int count = possible < 1 ? 1 : possible; count <= (1 << 20); count *= 2) {
        ProcessorSet set(count);
        if (set.data() == nullptr) return false;
        if (sched_getaffinity(0, set.size(), set.data()) == 0) {
            *processors = ProcessorsInSet(set.data(), set.size());
            kernelSetProcessors = set.count();
            return true;
        }
        if (errno != EINVAL) return false;
    }
    return false;
}

bool RunOn(const std::vector<int>& processors) {
    const ProcessorSet set(processors);
    return set.data() != nullptr && sched_setaffinity(0, set.size(), set.data()) == 0;
}

bool RunThreadOn(pthread_t thread, int processor) {
    const ProcessorSet set(std::vector<int>{processor});
    return set.data() != nullptr && pthread_setaffinity_np(thread, set.size(), set.data()) == 0;
}

}  // namespace linuxproc
