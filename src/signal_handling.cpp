#include "signal_handling.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "monotonic_clock.h"
#include "progress.h"

namespace {

// The one line that tells a run was stopped.
constexpr char kInterruptedMessage[] = "Encoding interrupted\n";

// What a first stop signal does, which changes as the run goes on.
enum Phase : std::sig_atomic_t { kStarting, kBetweenFrames, kAfterFrames, kEnding };

// The only state a signal handler shares with the program.
volatile std::sig_atomic_t phase = kStarting;
volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t input_descriptor = -1;
volatile std::sig_atomic_t output_descriptor = -1;
volatile std::sig_atomic_t erase_line_first = 0;
// The handler's own: it runs on the main thread alone, and never inside itself (sa_mask).
std::int64_t first_stop_at = 0;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

void tell_interrupted() {
    // Nothing is left to tell if standard error itself fails; the results are only named so that
    // a fortified build does not warn about them.
    if (erase_line_first != 0) {
        const ssize_t erased = write(STDERR_FILENO, kEraseStatusLine, sizeof kEraseStatusLine - 1);
        (void)erased;
    }
    const ssize_t told = write(STDERR_FILENO, kInterruptedMessage, sizeof kInterruptedMessage - 1);
    (void)told;
}

// Ends the process by `signal` with its default action, whether or not it is held just now.
void end_at_once(int signal) {
    (void)std::signal(signal, SIG_DFL);
    (void)std::raise(signal);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal);
    (void)pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
}

// A later stop signal is a person asking again, not a copy of the first, when it is Ctrl-C
// pressed at the terminal (a SIGINT the kernel sent: other processes' copies come from kill), or
// when it comes after the first one's instant. However many copies `timeout`, a process group,
// a supervisor or a shell that lost its terminal send within that instant, they are one stop;
// so is the kernel's own SIGHUP for that hang-up.
bool asked_again(int signal, const siginfo_t &info) {
    return (signal == SIGINT && info.si_code == SI_KERNEL) ||
           monotonic_nanoseconds() - first_stop_at >= kSameStopNanoseconds;
}

// Only async-signal-safe calls, and none that needs a resource it could fail to get.
void on_stop_signal(int signal, siginfo_t *info, void * /*context*/) {
    const int saved_errno = errno;  // the interrupted code may be about to read it
    if (phase == kStarting || phase == kEnding ||
        (stop_signal != 0 && asked_again(signal, *info))) {
        tell_interrupted();
        end_at_once(signal);
    } else if (stop_signal == 0) {
        first_stop_at = monotonic_nanoseconds();
        stop_signal = signal;
        if (phase == kBetweenFrames) {
            // A flag alone can come just after the loop's last look and just before a read of a
            // silent pipe, which would then wait for ever. The output's descriptor, open for
            // writing only, in the input's place fails that read and every later one at once;
            // dup2 onto a descriptor that is open needs no new one.
            (void)dup2(output_descriptor, input_descriptor);
        }
    }
    errno = saved_errno;
}

}  // namespace

void ignore_write_failure_signals() {
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

void catch_stop_signals() {
    struct sigaction action = {};
    action.sa_sigaction = on_stop_signal;
    action.sa_mask = stop_signal_set();
    // No SA_RESTART: a read that waits on a silent pipe must return when a stop signal comes.
    // SA_SIGINFO: who sent it tells a person from a copy.
    action.sa_flags = SA_SIGINFO;
    for (const int signal : kStopSignals) {
        struct sigaction before = {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            (void)sigaction(signal, &action, nullptr);
        }
    }
}

sigset_t hold_stop_signals() {
    const sigset_t set = stop_signal_set();
    sigset_t started_with;
    sigemptyset(&started_with);
    (void)pthread_sigmask(SIG_BLOCK, &set, &started_with);
    return started_with;
}

void stop_between_frames(std::FILE *input, std::FILE *output, const sigset_t &mask) {
    input_descriptor = fileno(input);
    output_descriptor = fileno(output);
    phase = kBetweenFrames;
    (void)pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}

void stop_after_frames() {
    phase = kAfterFrames;
}

void erase_status_line_before_telling() {
    erase_line_first = 1;
}

bool stop_requested() {
    return stop_signal != 0;
}

void end_by_stop_signal() {
    // Held, so that a stop signal coming now is told once: here, or by the handler later.
    const sigset_t mask = hold_stop_signals();
    phase = kEnding;
    const int signal = stop_signal;
    if (signal != 0) {
        tell_interrupted();
        end_at_once(signal);
    }
    (void)pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}
