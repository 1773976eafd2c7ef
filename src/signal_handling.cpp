#include "signal_handling.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// The only state a signal handler may share with the program.
volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t input_descriptor = -1;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

// Puts /dev/null in the input's place. A flag alone can come just after the loop's last look and
// just before a read of a silent pipe, which would then wait for ever; an input at its end cannot
// wait. Only async-signal-safe calls.
void end_input() {
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        (void)dup2(null, input_descriptor);
        (void)close(null);
    }
}

void on_stop_signal(int signal) {
    if (stop_signal == 0) {
        const int saved_errno = errno;  // the interrupted code may be about to read it
        stop_signal = signal;
        end_input();
        errno = saved_errno;
        return;
    }
    // Blocked until the handler returns, then the default action ends the run.
    (void)std::signal(signal, SIG_DFL);
    (void)std::raise(signal);
}

}  // namespace

void ignore_write_failure_signals() {
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

void hold_stop_signals() {
    const sigset_t set = stop_signal_set();
    (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void catch_stop_signals(std::FILE *input) {
    input_descriptor = fileno(input);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    action.sa_mask = stop_signal_set();
    // No SA_RESTART: a read that waits on a silent pipe must return when a stop signal comes.
    action.sa_flags = 0;
    for (const int signal : kStopSignals) {
        struct sigaction before = {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            (void)sigaction(signal, &action, nullptr);
        }
    }
    const sigset_t set = stop_signal_set();
    (void)pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool stop_requested() {
    return stop_signal != 0;
}

void end_by_stop_signal() {
    const int signal = stop_signal;
    if (signal == 0) {
        return;
    }
    (void)std::signal(signal, SIG_DFL);
    (void)std::raise(signal);
}
