#include "safeguards.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// The one global a signal handler may share with the program.
volatile std::sig_atomic_t stop_signal = 0;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

void on_stop_signal(int signal) {
    if (stop_signal == 0) {
        stop_signal = signal;
        return;
    }
    // Blocked until the handler returns, then the default action ends the run.
    (void)std::signal(signal, SIG_DFL);
    (void)std::raise(signal);
}

[[nodiscard]] bool same_file(std::FILE *input, const struct stat &output) {
    struct stat in;
    return fstat(fileno(input), &in) == 0 && in.st_dev == output.st_dev &&
           in.st_ino == output.st_ino;
}

// Refused: the input itself, a file another run holds, or one that cannot be emptied.
[[nodiscard]] bool claim_output(int fd, std::FILE *input) {
    struct stat output;
    if (fstat(fd, &output) != 0 || (input != nullptr && same_file(input, output))) {
        return false;
    }
    // Only another holder refuses: where the file system has no locks, the run goes on unguarded.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return false;
    }
    // Pipes and devices are not truncated, as "wb" leaves them.
    return !S_ISREG(output.st_mode) || ftruncate(fd, 0) == 0;
}

}  // namespace

void guard_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // open() takes the lowest free descriptor: the closed one.
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            break;  // open_output still refuses a standard descriptor
        }
    }
    (void)std::signal(SIGPIPE, SIG_IGN);
}

std::FILE *open_output(const char *path, std::FILE *input) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    if (fd <= STDERR_FILENO || !claim_output(fd, input)) {
        (void)close(fd);
        return nullptr;
    }
    std::FILE *output = fdopen(fd, "wb");
    if (output == nullptr) {
        (void)close(fd);
        return nullptr;
    }
    if (std::setvbuf(output, nullptr, _IONBF, 0) != 0) {
        (void)std::fclose(output);
        return nullptr;
    }
    return output;
}

void hold_stop_signals() {
    const sigset_t set = stop_signal_set();
    (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);
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
