#include "signal_handling.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// What a first stop signal does, which changes as the run goes on.
enum Phase : std::sig_atomic_t { kStarting, kBetweenFrames, kAfterFrames };

// The only state a signal handler may share with the program.
volatile std::sig_atomic_t phase = kStarting;
volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t input_descriptor = -1;
volatile std::sig_atomic_t output_descriptor = -1;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

// The default action ends the run: at once, or, raised in the handler, as soon as it returns.
void end_at_once(int signal) {
    (void)std::signal(signal, SIG_DFL);
    (void)std::raise(signal);
}

// Only async-signal-safe calls, and none that needs a resource it could fail to get.
void on_stop_signal(int signal) {
    if (stop_signal != 0) {
        end_at_once(signal);
        return;
    }
    if (phase == kStarting) {
        // Nothing is left to tell if standard error itself fails; the result is only named so
        // that a fortified build does not warn about it.
        const ssize_t told =
            write(STDERR_FILENO, kInterruptedMessage, sizeof kInterruptedMessage - 1);
        (void)told;
        end_at_once(signal);
        return;
    }
    const int saved_errno = errno;  // the interrupted code may be about to read it
    stop_signal = signal;
    if (phase == kBetweenFrames) {
        // A flag alone can come just after the loop's last look and just before a read of a
        // silent pipe, which would then wait for ever. The output's descriptor, open for writing
        // only, in the input's place fails that read and every later one at once; dup2 onto a
        // descriptor that is open needs no new one.
        (void)dup2(output_descriptor, input_descriptor);
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

bool stop_requested() {
    return stop_signal != 0;
}

void end_by_stop_signal() {
    const int signal = stop_signal;
    if (signal != 0) {
        end_at_once(signal);
    }
}
