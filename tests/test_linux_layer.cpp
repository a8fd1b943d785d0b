// The Linux layer on this machine: affinity, priority, messages, console bytes,
// pause and the OS line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "case_names.h"
#include "platform/linux/linux_process.h"
#include "platform/seam.h"
#include "platform/win32.h"

namespace {

// Restores the thread's affinity, whatever a test did with it.
class AffinityGuard {
public:
    AffinityGuard() { sched_getaffinity(0, sizeof saved_, &saved_); }
    ~AffinityGuard() { sched_setaffinity(0, sizeof saved_, &saved_); }

private:
    cpu_set_t saved_;
};

// A CPU list file in a fresh temporary directory, removed with the object.
class CpuListFile {
public:
    explicit CpuListFile(const char* text) {
        char dir[] = "/tmp/vexmora-cpulist-XXXXXX";
        dir_ = mkdtemp(dir) ? dir : "";
        path_ = dir_ + "/online";
        FILE* file = std::fopen(path_.c_str(), "w");
        if (file != nullptr) {
            std::fputs(text, file);
            std::fclose(file);
        }
    }
    ~CpuListFile() {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    const char* path() const { return path_.c_str(); }

private:
    std::string dir_;
    std::string path_;
};

TEST(LinuxLayer, CountsEveryListedProcessor) {
    const struct {
        const char* list;
        int count;
    } cases[] = {{"0\n", 1}, {"0-3,5,8-11\n", 9}, {"0-71\n", 72}, {"0-31,64-95\n", 64}};
    for (const auto& c : cases) {
        CpuListFile file(c.list);
        EXPECT_EQ(linuxproc::CountListedProcessors(file.path()), c.count) << c.list;
    }
    EXPECT_EQ(linuxproc::CountListedProcessors("/nonexistent/online"), 0);
}

// Without /sys the count comes from /proc/stat; without either it is unknown (0),
// never the affinity's, which the C library's own count would give.
TEST(LinuxLayer, OnlineProcessorsComeFromSysThenProcOrAreUnknown) {
    CpuListFile online("0-3\n");
    CpuListFile stat("cpu  10 0 5 100\ncpu0 5 0 2 50\ncpu1 5 0 3 50\ncpu5 0 0 0 1\nintr 1 2\ncpuX\n");
    CpuListFile empty("");
    const struct {
        const char* name;
        const char* list;
        const char* procStat;
        int count;
    } cases[] = {
        {"sys list", online.path(), stat.path(), 4},
        {"proc stat without sys", "/nonexistent/online", stat.path(), 3},
        {"neither", "/nonexistent/online", "/nonexistent/stat", 0},
        {"both empty", empty.path(), empty.path(), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(linuxproc::CountOnlineProcessors(c.list, c.procStat), c.count) << c.name;
    }
}

// An affinity of `count` possible processors holding the ranges given, such
// as "0-31,64-95": what sched_getaffinity fills on a machine that large.
class SimulatedAffinity {
public:
    SimulatedAffinity(int count, std::initializer_list<std::pair<int, int>> ranges)
        : set_(CPU_ALLOC(count)), size_(CPU_ALLOC_SIZE(count)) {
        CPU_ZERO_S(size_, set_);
        for (const auto& r : ranges) {
            for (int cpu = r.first; cpu <= r.second; ++cpu) CPU_SET_S(static_cast<size_t>(cpu), size_, set_);
        }
    }
    ~SimulatedAffinity() { CPU_FREE(set_); }
    std::vector<int> Processors() const { return linuxproc::ProcessorsInSet(set_, size_); }

private:
    cpu_set_t* set_;
    size_t size_;
};

TEST(LinuxLayer, WalkTakesEveryProcessorOfAnAffinityBeyondAMask) {
    // Sysfs of a machine with holes in its numbering, beyond 64 processors.
    CpuListFile possible("0-127\n");
    CpuListFile online("0-31,64-95\n");
    EXPECT_EQ(linuxproc::PossibleProcessorCount(possible.path()), 128);
    EXPECT_EQ(linuxproc::CountListedProcessors(online.path()), 64);
    EXPECT_EQ(linuxproc::PossibleProcessorCount("/nonexistent/possible"), 0);

    const std::vector<int> holes = SimulatedAffinity(128, {{0, 31}, {64, 95}}).Processors();
    ASSERT_EQ(holes.size(), 64u);
    EXPECT_EQ(holes[31], 31);
    EXPECT_EQ(holes[32], 64);  // the hole is skipped, not walked as failing pins
    EXPECT_EQ(holes.back(), 95);

    const std::vector<int> server = SimulatedAffinity(384, {{0, 383}}).Processors();
    ASSERT_EQ(server.size(), 384u);
    EXPECT_EQ(server.back(), 383);
}

// Only a process kept off some online processors gets the note.
TEST(LinuxLayer, NotesHowManyOnlineProcessorsTheReportCovers) {
    EXPECT_EQ(linuxproc::CoverageNote(2, 2), "");
    EXPECT_EQ(linuxproc::CoverageNote(384, 384), "");
    EXPECT_EQ(linuxproc::CoverageNote(1, 2),
              "Vexmora: le rapport couvre 1 des 2 processeurs logiques en ligne, ceux sur lesquels le processus "
              "peut s'ex\xE9" "cuter.\n");
}

TEST(LinuxLayer, WalkPinsEveryProcessorOfThisProcessAndRestoresItsAffinity) {
    AffinityGuard guard;
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    platform::ProcessorWalk walk;
    ASSERT_TRUE(platform::PlanProcessorWalk(&walk));
    ASSERT_EQ(walk.processors.size(), static_cast<size_t>(CPU_COUNT(&before)));
    EXPECT_FALSE(walk.stoppedShort);
    for (int cpu : walk.processors) {
        ASSERT_TRUE(platform::PinProcessTo(cpu)) << cpu;
        EXPECT_EQ(sched_getcpu(), cpu);
    }
    ASSERT_TRUE(platform::RestoreProcessAffinity(walk));
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
    EXPECT_FALSE(platform::PinProcessTo(1 << 20));
}

// Raising the priority is a privilege; anyone else walks at the priority the
// process has, which is no failure. Normal gives back the nice value the
// process started with, even one it could not take again unprivileged.
TEST(LinuxLayer, PriorityIsRaisedWherePermittedAndGivenBackAsItWas) {
    errno = 0;
    const int before = getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(errno, 0);
    EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS), 1);
    if (geteuid() == 0 && before > -20) {
        EXPECT_LT(getpriority(PRIO_PROCESS, 0), before);
    }
    EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS), 1);
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), before);
}

TEST(LinuxLayer, MessageBoxWritesUtf8ToStandardErrorAndReturnsOk) {
    testing::internal::CaptureStderr();
    const int button = MessageBoxA(nullptr, "Skelvane ne peut acc\xE9" "der \xE0 tous \x80", "Vexmora", MB_ICONWARNING);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(button, IDOK);
    EXPECT_EQ(err, "Vexmora: Skelvane ne peut acc\xC3\xA9" "der \xC3\xA0 tous \xE2\x82\xAC\n");
}

TEST(LinuxLayer, ReportBytesAreShownAsTheConsoleCodePageShowsThem) {
    testing::internal::CaptureStdout();
    const char text[] = "Tj(Max) = 100\xF8" "C \x82\n";
    platform::WriteReport(text, sizeof text - 1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Tj(Max) = 100\xC2\xB0" "C \xC3\xA9\n");
}

TEST(LinuxLayer, PauseReturnsAtOnceWithoutATerminal) {
    const int saved = dup(STDIN_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    dup2(null, STDIN_FILENO);
    testing::internal::CaptureStdout();
    platform::RunPause();
    const std::string out = testing::internal::GetCapturedStdout();
    dup2(saved, STDIN_FILENO);
    close(null);
    close(saved);
    EXPECT_EQ(out, "");
}

// The pause prompt in a child process whose standard input and output are a
// pseudo-terminal; the test holds the terminal's other side.
class PauseAtTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        terminal_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal_, 0);
        ASSERT_EQ(tcgetattr(terminal_, &before_), 0);
        ASSERT_TRUE(before_.c_lflag & ICANON) << "a new terminal starts in canonical mode";
    }

    void TearDown() override {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        if (terminal_ >= 0) close(terminal_);
        if (master_ >= 0) close(master_);
    }

    // Starts the prompt and returns once it holds the terminal in raw mode.
    void StartPause() {
        std::fflush(stdout);
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            const rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT would otherwise leave a core file
            // A group of its own, whose parent is outside it: never orphaned, so SIGTSTP stops it.
            setpgid(0, 0);
            dup2(terminal_, STDIN_FILENO);
            dup2(terminal_, STDOUT_FILENO);
            platform::RunPause();
            _exit(0);
        }
        WaitForRawMode();
    }

    // Returns once the prompt holds the terminal in raw mode.
    void WaitForRawMode() {
        for (int tries = 0; tries < 1000; ++tries) {
            termios now;
            ASSERT_EQ(tcgetattr(terminal_, &now), 0);
            if ((now.c_lflag & ICANON) == 0) return;
            usleep(5000);
        }
        FAIL() << "the prompt never took the terminal";
    }

    // The prompt in a background job of a session whose controlling terminal
    // this is, as timeout runs its command: the child leads the session, its
    // own child runs the prompt in a group of its own.
    void StartPauseInBackground() {
        std::fflush(stdout);
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ > 0) return;
        setsid();
        if (ioctl(terminal_, TIOCSCTTY, 0) != 0 || tcsetpgrp(terminal_, getpgrp()) != 0) _exit(3);
        const pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);
            dup2(terminal_, STDIN_FILENO);
            dup2(terminal_, STDOUT_FILENO);
            platform::RunPause();
            _exit(0);
        }
        int status = 0;
        // A job the terminal stopped reports it, rather than hanging the test.
        if (job < 0 || waitpid(job, &status, WUNTRACED) != job) _exit(4);
        if (WIFSTOPPED(status)) kill(job, SIGKILL);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 5);
    }

    // How the child ended, or with WUNTRACED stopped, within five seconds.
    int WaitStatus(int options = 0) {
        for (int tries = 0; tries < 1000; ++tries) {
            int status = 0;
            if (waitpid(child_, &status, WNOHANG | options) == child_) {
                if (!WIFSTOPPED(status)) child_ = -1;
                return status;
            }
            usleep(5000);
        }
        ADD_FAILURE() << "the prompt did not " << (options & WUNTRACED ? "stop" : "end");
        return -1;
    }

    // Presses a key at the prompt: it must end with status 0 and the terminal as it was.
    void ExpectKeyEndsIt(const std::string& key) {
        ASSERT_EQ(write(master_, key.data(), key.size()), static_cast<ssize_t>(key.size()));
        const int status = WaitStatus();
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        ExpectSettingsAsBefore();
    }

    void ExpectSettingsAsBefore() {
        termios after;
        ASSERT_EQ(tcgetattr(terminal_, &after), 0);
        EXPECT_EQ(after.c_iflag, before_.c_iflag);
        EXPECT_EQ(after.c_oflag, before_.c_oflag);
        EXPECT_EQ(after.c_cflag, before_.c_cflag);
        EXPECT_EQ(after.c_lflag, before_.c_lflag);
        EXPECT_EQ(std::memcmp(after.c_cc, before_.c_cc, sizeof after.c_cc), 0);
    }

    // Whatever input the prompt left for the next program (the shell).
    std::string PendingInput() {
        termios peek = before_;
        peek.c_lflag &= static_cast<tcflag_t>(~ICANON);  // a partial line counts too
        peek.c_cc[VMIN] = 0;
        peek.c_cc[VTIME] = 0;
        tcsetattr(terminal_, TCSANOW, &peek);
        char bytes[16];
        const ssize_t count = read(terminal_, bytes, sizeof bytes);
        tcsetattr(terminal_, TCSANOW, &before_);
        return count > 0 ? std::string(bytes, static_cast<size_t>(count)) : std::string();
    }

    int master_ = -1;
    int terminal_ = -1;
    pid_t child_ = -1;
    termios before_{};
};

TEST_F(PauseAtTerminal, AnArrowKeyEndsItAndLeavesNothingBehind) {
    StartPause();
    ExpectKeyEndsIt("\x1b[A");
    EXPECT_EQ(PendingInput(), "");
}

// Raw mode makes the keys that would send signals keys like any other.
struct ControlKey {
    const char* name;
    char byte;
};

class PauseEndedByControlKey : public PauseAtTerminal, public ::testing::WithParamInterface<ControlKey> {};

TEST_P(PauseEndedByControlKey, EndsItAsAnyKeyDoes) {
    StartPause();
    ExpectKeyEndsIt(std::string(1, GetParam().byte));
}

INSTANTIATE_TEST_SUITE_P(Keys, PauseEndedByControlKey,
                         ::testing::Values(ControlKey{"CtrlC", '\x03'}, ControlKey{"CtrlZ", '\x1a'},
                                           ControlKey{"CtrlBackslash", '\x1c'}),
                         case_names::ByName{});

// A background job can never get the key: it must not wait for one.
TEST_F(PauseAtTerminal, ABackgroundJobDoesNotWait) {
    StartPauseInBackground();
    const int status = WaitStatus();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ExpectSettingsAsBefore();
}

// Stopped from outside (kill -TSTP, then fg), the prompt leaves the shell its
// terminal as it was while stopped, and takes raw mode back once continued.
TEST_F(PauseAtTerminal, StoppedFromOutsideGivesTheTerminalBackUntilContinued) {
    StartPause();
    ASSERT_EQ(kill(child_, SIGTSTP), 0);
    const int stopped = WaitStatus(WUNTRACED);
    ASSERT_TRUE(WIFSTOPPED(stopped)) << "status " << stopped;
    EXPECT_EQ(WSTOPSIG(stopped), SIGTSTP);
    ExpectSettingsAsBefore();

    ASSERT_EQ(kill(child_, SIGCONT), 0);
    WaitForRawMode();
    ExpectKeyEndsIt("\x1b[A");
    EXPECT_EQ(PendingInput(), "");
}

// Stopped by a signal no program can catch (SIGSTOP, or the terminal's stop of
// a background read), the prompt cannot give the terminal back; the shell
// resets it. Continued, the prompt takes raw mode back.
TEST_F(PauseAtTerminal, ContinuedAfterAStopItCouldNotSeeTakesRawModeBack) {
    StartPause();
    ASSERT_EQ(kill(child_, SIGSTOP), 0);
    const int stopped = WaitStatus(WUNTRACED);
    ASSERT_TRUE(WIFSTOPPED(stopped)) << "status " << stopped;
    ASSERT_EQ(tcsetattr(terminal_, TCSANOW, &before_), 0);  // what the shell does

    ASSERT_EQ(kill(child_, SIGCONT), 0);
    WaitForRawMode();
    ExpectKeyEndsIt("\x1b[A");
    EXPECT_EQ(PendingInput(), "");
}

// A process group whose parent is in another session (exec vexmora, then kill
// -TSTP from elsewhere) is orphaned: the kernel does not stop it, and no
// SIGCONT will come. The prompt keeps the terminal in raw mode and waits on.
TEST_F(PauseAtTerminal, AnOrphanedGroupIsNotStoppedAndKeepsRawMode) {
    std::fflush(stdout);
    child_ = fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
        setsid();
        dup2(terminal_, STDIN_FILENO);
        dup2(terminal_, STDOUT_FILENO);
        platform::RunPause();
        _exit(0);
    }
    WaitForRawMode();
    ASSERT_EQ(kill(child_, SIGTSTP), 0);
    // Time for the handler to give the terminal back, find the stop discarded and retake it.
    usleep(300000);
    int status = 0;
    EXPECT_EQ(waitpid(child_, &status, WNOHANG | WUNTRACED), 0) << "status " << status;
    termios now;
    ASSERT_EQ(tcgetattr(terminal_, &now), 0);
    EXPECT_EQ(now.c_lflag & ICANON, 0u) << "raw mode was not taken back";
    ExpectKeyEndsIt("\x1b[A");
}

struct EndingSignal {
    const char* name;
    int number;
};

class PauseEndedBySignal : public PauseAtTerminal, public ::testing::WithParamInterface<EndingSignal> {};

TEST_P(PauseEndedBySignal, GivesTheTerminalBackAndEndsAsTheSignalWould) {
    StartPause();
    ASSERT_EQ(kill(child_, GetParam().number), 0);
    const int status = WaitStatus();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), GetParam().number);  // a shell shows 128 + the signal
    ExpectSettingsAsBefore();
}

INSTANTIATE_TEST_SUITE_P(Signals, PauseEndedBySignal,
                         ::testing::Values(EndingSignal{"SIGTERM", SIGTERM}, EndingSignal{"SIGHUP", SIGHUP},
                                           EndingSignal{"SIGQUIT", SIGQUIT}, EndingSignal{"SIGINT", SIGINT}),
                         case_names::ByName{});

TEST(LinuxLayer, OsLineNamesTheKernel) {
    utsname name;
    ASSERT_EQ(uname(&name), 0);
    char line[128];
    ASSERT_TRUE(platform::DescribeHostOs(line, sizeof line));
    EXPECT_EQ(std::string(line), std::string("OS : Linux ") + name.release);
}

TEST(LinuxLayer, ElapsedMillisecondsFollowTheMonotonicClock) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long expected = static_cast<long>(now.tv_sec * 1000L + now.tv_nsec / 1000000L);
    const long actual = platform::ElapsedMilliseconds();
    EXPECT_GE(actual, expected);
    EXPECT_LE(actual - expected, 50);
}

TEST(LinuxLayer, CpuidAnswersLikeTheProcessor) {
    const platform::CpuidResult leaf0 = platform::ExecuteCpuid(0, 0);
    EXPECT_GT(leaf0.eax, 0u);
    std::string vendor;
    for (uint32_t reg : {leaf0.ebx, leaf0.edx, leaf0.ecx}) {
        for (int i = 0; i < 4; ++i) vendor += static_cast<char>((reg >> (8 * i)) & 0xFF);
    }
    FILE* cpuinfo = std::fopen("/proc/cpuinfo", "r");
    ASSERT_NE(cpuinfo, nullptr);
    char line[512];
    std::string reported;
    while (std::fgets(line, sizeof line, cpuinfo)) {
        if (std::sscanf(line, "vendor_id : %63s", line) == 1) {
            reported = line;
            break;
        }
    }
    std::fclose(cpuinfo);
    EXPECT_EQ(vendor, reported);
    const uint64_t t0 = platform::ReadTimeStampCounter();
    EXPECT_GT(platform::ReadTimeStampCounter(), t0);
}

}  // namespace
