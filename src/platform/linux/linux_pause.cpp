// The Linux "pause": a key at the terminal, read in raw mode, with the
// terminal given back as it was whatever ends or stops the prompt.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/shared/report_stream.h"
#include "platform/seam.h"

namespace platform {

namespace {

// The terminal's settings before the prompt and in raw mode, for the signal handlers.
termios pauseSaved;
termios pauseRaw;

// The prompt may touch the terminal only while its process group owns it: a
// job continued in the background leaves it alone. -1 is a terminal that is
// not the controlling one.
bool OwnsTerminal() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground == -1 || foreground == getpgrp();
}

// A signal that ends the program at the prompt gives the terminal back first,
// then ends it as the signal would have (the shell shows 128 + the signal).
void RestoreTerminalAndDie(int signo) {
    tcsetattr(STDIN_FILENO, TCSANOW, &pauseSaved);
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    raise(signo);
}

// Stopped from outside (kill -TSTP; raw mode makes Ctrl-Z a key), the prompt
// gives the shell its terminal as it was, stops as the signal would have, and
// takes raw mode back once continued in the foreground. An orphaned process
// group is not stopped at all: raw mode is back at once.
void RestoreTerminalAndStop(int signo) {
    const int savedErrno = errno;
    // A job continued in the background left the terminal to the shell.
    if (OwnsTerminal()) tcsetattr(STDIN_FILENO, TCSANOW, &pauseSaved);
    struct sigaction stop{};
    struct sigaction self{};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(signo, &stop, &self);
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, signo);
    raise(signo);
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);  // the stop happens here
    sigprocmask(SIG_BLOCK, &pending, nullptr);
    sigaction(signo, &self, nullptr);
    if (OwnsTerminal()) tcsetattr(STDIN_FILENO, TCSANOW, &pauseRaw);
    errno = savedErrno;
}

// Continued after any stop (SIGSTOP, or a background read's SIGTTIN): raw
// mode again, once the terminal is the program's.
void RetakeTerminal(int) {
    const int savedErrno = errno;
    if (OwnsTerminal()) tcsetattr(STDIN_FILENO, TCSANOW, &pauseRaw);
    errno = savedErrno;
}

// Raw mode turns Ctrl-C and Ctrl-Z into keys, but signals still come from
// elsewhere: a closed terminal, kill, a time limit. Ignored ones stay ignored.
struct GuardedSignal {
    int number;
    void (*handler)(int);
};
constexpr GuardedSignal kGuardedSignals[] = {{SIGTERM, RestoreTerminalAndDie}, {SIGHUP, RestoreTerminalAndDie},
                                             {SIGQUIT, RestoreTerminalAndDie}, {SIGINT, RestoreTerminalAndDie},
                                             {SIGTSTP, RestoreTerminalAndStop}, {SIGCONT, RetakeTerminal}};
constexpr size_t kGuardedSignalCount = sizeof kGuardedSignals / sizeof kGuardedSignals[0];

// Every guarded signal, and SIGTTOU: the terminal is given back even from the background.
sigset_t GuardedSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const GuardedSignal& g : kGuardedSignals) sigaddset(&set, g.number);
    sigaddset(&set, SIGTTOU);
    return set;
}

void GuardTerminal(struct sigaction (&previous)[kGuardedSignalCount]) {
    struct sigaction guard{};
    guard.sa_mask = GuardedSet();
    for (size_t i = 0; i < kGuardedSignalCount; ++i) {
        guard.sa_handler = kGuardedSignals[i].handler;
        sigaction(kGuardedSignals[i].number, nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN) sigaction(kGuardedSignals[i].number, &guard, nullptr);
    }
}

// With the guarded signals held back, so that none can take raw mode back
// between the terminal's restoring and the handlers' removal.
void GiveTerminalBack(const struct sigaction (&previous)[kGuardedSignalCount]) {
    const sigset_t guarded = GuardedSet();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &guarded, &before);
    tcsetattr(STDIN_FILENO, TCSANOW, &pauseSaved);
    for (size_t i = 0; i < kGuardedSignalCount; ++i) sigaction(kGuardedSignals[i].number, &previous[i], nullptr);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

void RunPause() {
    FlushReportStream();
    // Only a person at a terminal can press a key; redirected runs must not hang,
    // nor a background job (timeout runs its command as one), which the terminal
    // would stop at the first change of its settings.
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return;
    if (!OwnsTerminal()) return;
    std::fputs("Appuyez sur une touche pour continuer...", stdout);
    FlushReportStream();
    if (tcgetattr(STDIN_FILENO, &pauseSaved) == 0) {
        pauseRaw = pauseSaved;
        // Ctrl-C counts as the key too, so the terminal is always given back as it was.
        pauseRaw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG));
        pauseRaw.c_cc[VMIN] = 1;
        pauseRaw.c_cc[VTIME] = 0;
        struct sigaction previous[kGuardedSignalCount];
        GuardTerminal(previous);
        tcsetattr(STDIN_FILENO, TCSANOW, &pauseRaw);
        char key;
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
        // The rest of a key that sends several bytes (an arrow) is not left to the shell.
        tcflush(STDIN_FILENO, TCIFLUSH);
        GiveTerminalBack(previous);
    }
    std::fputs("\n", stdout);
    FlushReportStream();
}

}  // namespace platform
