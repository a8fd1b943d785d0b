// vexmora-replay on inputs without an end or a size limit, and on inputs that
// can be read only once: each run ends within seconds with exit 2 or a report,
// and its peak memory stays under 16 MB (beyond the sanitizer runtime's own, in
// sanitized builds).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "case_names.h"

namespace {

using case_names::operator<<;

const std::string kDumpPath = std::string(VEXMORA_FIXTURES) + "/dumps/GenuineIntel00106A4_Bloomfield_CPUID.txt";
constexpr long kMemoryLimitKb = 16 * 1024;
constexpr int kTimeLimitMs = 20000;

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ReplayRun {
    int status = -1;  // exit status, or -1 when it did not exit by itself in time
    long peakKb = 0;
    std::string out;
    std::string err;
};

// What feeds the tool's input, while it runs.
enum class Feed { kNothing, kDump, kTwoMillionLeaf0Lines };

// Writes the feed to fd until it is done or nobody reads any more, then closes fd.
void WriteFeed(int fd, Feed feed) {
    std::string block;
    int repeats = 1;
    if (feed == Feed::kDump) {
        block = FileText(kDumpPath);
    } else if (feed == Feed::kTwoMillionLeaf0Lines) {
        for (int i = 0; i < 1000; ++i) block += "CPUID 00000000: 0000000B-756E6547-6C65746E-49656E69\n";
        repeats = 2000;
    }
    for (int i = 0; i < repeats; ++i) {
        size_t done = 0;
        while (done < block.size()) {
            const ssize_t n = write(fd, block.data() + done, block.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(fd);
                return;  // the reader has gone
            }
            done += static_cast<size_t>(n);
        }
    }
    close(fd);
}

// A scratch path of this test process: ctest runs the cases side by side.
std::string Scratch(const std::string& what) {
    return ::testing::TempDir() + "replay-limits-" + std::to_string(getpid()) + "-" + what;
}

// Runs the tool on one argument with standard input from stdinFd (or /dev/null).
ReplayRun RunReplay(const std::string& argument, int stdinFd = -1) {
    const std::string out = Scratch("out");
    const std::string err = Scratch("err");
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGPIPE, SIG_DFL);
        const int in = stdinFd >= 0 ? stdinFd : open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        execl(VEXMORA_REPLAY, VEXMORA_REPLAY, argument.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ReplayRun run;
    if (stdinFd >= 0) close(stdinFd);
    if (child < 0) return run;
    int status = 0;
    rusage usage{};
    for (int waited = 0; wait4(child, &status, WNOHANG, &usage) == 0; waited += 10) {
        if (waited >= kTimeLimitMs) {
            kill(child, SIGKILL);
            wait4(child, &status, 0, &usage);
            ADD_FAILURE() << "still running after " << kTimeLimitMs << " ms";
            return run;
        }
        usleep(10000);
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peakKb = usage.ru_maxrss;
    run.out = FileText(out);
    run.err = FileText(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

// What the sanitizer runtime takes by itself: the peak of a run that reads nothing.
long BaselineKb() {
#ifdef VEXMORA_SANITIZED
    static const long baseline = RunReplay("--help").peakKb;
    return baseline;
#else
    return 0;
#endif
}

// How the input reaches the tool.
enum class Via {
    kPath,         // the argument names it
    kStdin,        // /dev/stdin, a pipe fed while it runs
    kFifo,         // a FIFO, fed while it runs
    kSparseFile,   // a 200 MB file: the dump, then zeros (sparse, nothing on disk)
    kDirectory,    // a directory
};

struct LimitCase {
    const char* name;
    Via via;
    const char* path;  // for kPath
    Feed feed;         // for kStdin and kFifo
    int status;
    const char* says;  // in the report when status is 0, on standard error otherwise
};

class ReplayLimits : public ::testing::TestWithParam<LimitCase> {
protected:
    void SetUp() override { previousSigpipe_ = signal(SIGPIPE, SIG_IGN); }
    void TearDown() override {
        signal(SIGPIPE, previousSigpipe_);
        if (!scratch_.empty()) std::remove(scratch_.c_str());
    }

    ReplayRun Start(const LimitCase& c) {
        switch (c.via) {
            case Via::kPath: return RunReplay(c.path);
            case Via::kDirectory: return RunReplay(::testing::TempDir());
            case Via::kSparseFile: {
                scratch_ = Scratch("200MB");
                std::ofstream(scratch_, std::ios::binary) << FileText(kDumpPath);
                if (truncate(scratch_.c_str(), 200L << 20) != 0) ADD_FAILURE() << "cannot size " << scratch_;
                return RunReplay(scratch_);
            }
            case Via::kStdin: {
                int fds[2];
                if (pipe2(fds, O_CLOEXEC) != 0) return ReplayRun{};  // the tool must not hold the writing end
                std::thread writer(WriteFeed, fds[1], c.feed);
                const ReplayRun run = RunReplay("/dev/stdin", fds[0]);
                writer.join();
                return run;
            }
            case Via::kFifo: {
                scratch_ = Scratch("fifo");
                std::remove(scratch_.c_str());
                if (mkfifo(scratch_.c_str(), 0600) != 0) return ReplayRun{};
                const std::string fifo = scratch_;
                const Feed feed = c.feed;
                std::thread writer([fifo, feed] {
                    const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
                    if (fd >= 0) WriteFeed(fd, feed);
                });
                const ReplayRun run = RunReplay(fifo);
                // A writer still waiting for a reader that never came is let go.
                const int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                writer.join();
                if (release >= 0) close(release);
                return run;
            }
        }
        return ReplayRun{};
    }

private:
    void (*previousSigpipe_)(int) = SIG_DFL;
    std::string scratch_;
};

TEST_P(ReplayLimits, EndsSoonWithinTheMemoryBound) {
    const LimitCase& c = GetParam();
    const long baseline = BaselineKb();
    const ReplayRun run = Start(c);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.says), std::string::npos) << run.out << run.err;
    EXPECT_LT(run.peakKb - baseline, kMemoryLimitKb) << "peak " << run.peakKb << " KB, baseline " << baseline << " KB";
}

const char kOverTheBound[] = "is larger than the 8 MiB or 131072 lines a dump may hold";
const char kSummary[] = "1 Processeur Quadcore HT On 64 bits\n";

INSTANTIATE_TEST_SUITE_P(
    Inputs, ReplayLimits,
    ::testing::Values(LimitCase{"DevZero", Via::kPath, "/dev/zero", Feed::kNothing, 2, kOverTheBound},
                      LimitCase{"DevUrandom", Via::kPath, "/dev/urandom", Feed::kNothing, 2, kOverTheBound},
                      LimitCase{"File200MB", Via::kSparseFile, nullptr, Feed::kNothing, 2, kOverTheBound},
                      LimitCase{"TwoMillionLeaf0Lines", Via::kStdin, nullptr, Feed::kTwoMillionLeaf0Lines, 2,
                                kOverTheBound},
                      LimitCase{"DumpThroughStdin", Via::kStdin, nullptr, Feed::kDump, 0, kSummary},
                      LimitCase{"DumpThroughFifo", Via::kFifo, nullptr, Feed::kDump, 0, kSummary},
                      LimitCase{"Directory", Via::kDirectory, nullptr, Feed::kNothing, 2, "Is a directory"}),
    case_names::ByName{});

}  // namespace
