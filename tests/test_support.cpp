#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace test {

namespace fs = std::filesystem;

namespace {

// By Build: the program's target in tests/CMakeLists.txt and the data directory it was built with.
constexpr std::pair<const char *, const char *> kBuilds[] = {
    {"yuv2h264_here", "."}, {"yuv2h264_oddly_named_dir", "my \"clips\" \\ é"}};

constexpr double kDeadlineSeconds = 120;

}  // namespace

fs::path test_dir() {
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '.');
    return fs::path(YUV2H264_TEST_WORK_DIR) / name;
}

void reset_test_dir() {
    fs::remove_all(test_dir());
    fs::create_directories(test_dir());
}

fs::path input_path() {
    return test_dir() / "yuv_420-352x288.yuv";
}

fs::path output_path() {
    return test_dir() / "x.h264";
}

std::vector<Runner> available_runners() {
    constexpr bool sanitized = YUV2H264_TEST_SANITIZED;
    return sanitized ? std::vector{Runner::kPlain} : std::vector{Runner::kPlain, Runner::kMemcheck};
}

bool emulated() {
    return !std::string_view(YUV2H264_TEST_EMULATOR).empty();
}

void skip_unless_usable(Runner runner) {
    if (runner == Runner::kMemcheck && emulated()) {
        GTEST_SKIP() << "valgrind cannot watch a program that qemu-user runs";
    }
}

std::string suffix(Runner runner, const char *plain) {
    return runner == Runner::kMemcheck ? "UnderMemcheck" : plain;
}

namespace {

// In the child, between fork and exec: only async-signal-safe calls.
void redirect(const char *file, int flags, int fd) {
    const int opened = open(file, flags | O_CLOEXEC, 0644);
    if (opened < 0 || dup2(opened, fd) < 0) {
        _exit(127);
    }
}

// A terminal's two ends: the one the test keeps, and the name of the one the program gets.
int open_terminal(std::string *name) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    *name = ptsname(terminal);
    return terminal;
}

// Starts `args` in `dir`, its standard output and error to files there.
pid_t spawn(const std::vector<std::string> &args, const Launch &launch, const fs::path &dir,
            const std::string &terminal_name = "") {
    std::vector<char *> argv;
    std::vector<char *> envp;
    for (auto [strings, pointers] :
         {std::pair{&args, &argv}, std::pair{&launch.environment, &envp}}) {
        for (const std::string &s : *strings) {
            pointers->push_back(const_cast<char *>(s.c_str()));
        }
    }
    for (char **entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{launch.file_size_limit, launch.file_size_limit};
        if (chdir(dir.c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(127);
        }
        redirect("/dev/null", O_RDONLY, STDIN_FILENO);
        redirect("stdout", O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
        redirect("stderr", O_WRONLY | O_CREAT | O_TRUNC, STDERR_FILENO);
        if (launch.streams == Streams::kTerminal) {
            // A session of its own, whose controlling terminal this becomes, as a shell gives a
            // job the terminal it runs in.
            (void)setsid();
            for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
                redirect(terminal_name.c_str(), O_RDWR, fd);
            }
        } else if (launch.streams == Streams::kErrorToOutput) {
            (void)dup2(STDOUT_FILENO, STDERR_FILENO);
        } else if (launch.streams == Streams::kInputAndErrorClosed) {
            (void)close(STDIN_FILENO);
            (void)close(STDERR_FILENO);
        }
        sigset_t blocked;
        sigemptyset(&blocked);
        if (launch.blocked_signal != 0) {
            sigaddset(&blocked, launch.blocked_signal);
        }
        if (launch.ignored_signal != 0) {
            (void)signal(launch.ignored_signal, SIG_IGN);
        }
        // Nothing of the test's own: a descriptor limit then counts the program's files alone.
        const rlimit files{launch.descriptor_limit, launch.descriptor_limit};
        if (close_range(STDERR_FILENO + 1, ~0U, 0) != 0 ||
            sigprocmask(SIG_SETMASK, &blocked, nullptr) != 0 ||
            (files.rlim_cur != RLIM_INFINITY && setrlimit(RLIMIT_NOFILE, &files) != 0)) {
            _exit(127);
        }
        (void)execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

// Appends what the terminal has to `shown`, without waiting for more.
void drain(int terminal, std::string *shown) {
    char chunk[4096];
    for (ssize_t n; (n = read(terminal, chunk, sizeof chunk)) > 0;) {
        shown->append(chunk, static_cast<std::size_t>(n));
    }
}

// Waits up to `seconds` for `pid`: its exit status, 128 + the signal that ended it, or -1 when
// it had to be killed. Meanwhile reads its terminal, if it has one, which would stall it full.
int wait_for(pid_t pid, double seconds, int terminal = -1, std::string *shown = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    if (terminal >= 0) {
        (void)fcntl(terminal, F_SETFL, O_NONBLOCK);
    }
    int result = 0;
    while (waitpid(pid, &result, WNOHANG) == 0) {
        if (terminal >= 0) {
            drain(terminal, shown);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &result, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (terminal >= 0) {
        drain(terminal, shown);
    }
    return WIFSIGNALED(result) ? 128 + WTERMSIG(result) : WEXITSTATUS(result);
}

// Starts the program in `dir`, linking the build's data directory there to `dir`.
Started start_in(const fs::path &dir, const Launch &launch, const std::string &leak_kinds) {
    const auto [target, build_data_dir] = kBuilds[static_cast<int>(launch.build)];
    const fs::path data_dir = dir / build_data_dir;
    if (!fs::exists(data_dir)) {
        fs::create_directories(data_dir.parent_path());
        fs::create_directory_symlink(fs::relative(dir, data_dir.parent_path()), data_dir);
    }
    std::vector<std::string> args;
    if (emulated()) {
        std::istringstream words(YUV2H264_TEST_EMULATOR);
        for (std::string word; std::getline(words, word, '\t');) {
            args.push_back(word);
        }
    }
    if (launch.runner == Runner::kMemcheck) {
        if (!fs::exists(YUV2H264_TEST_VALGRIND)) {
            throw std::runtime_error("valgrind is needed to run the program under memcheck");
        }
        args = {YUV2H264_TEST_VALGRIND,
                "--quiet",
                "--leak-check=full",
                "--log-file=memcheck.log",
                "--error-exitcode=" + std::to_string(kMemcheckStatus),
                "--show-leak-kinds=" + leak_kinds,
                "--errors-for-leak-kinds=" + leak_kinds};
    }
    args.push_back(std::string(YUV2H264_TEST_BIN_DIR "/") + target);
    args.insert(args.end(), launch.arguments.begin(), launch.arguments.end());
    std::string terminal_name;
    const int terminal = launch.streams == Streams::kTerminal ? open_terminal(&terminal_name) : -1;
    return {spawn(args, launch, dir, terminal_name), terminal};
}

Run finish_in(const fs::path &dir, const Started &started, double seconds) {
    std::string shown;
    const int status = wait_for(started.pid, seconds, started.terminal, &shown);
    if (started.terminal >= 0) {
        close(started.terminal);
    }
    const fs::path memcheck = dir / "memcheck.log";
    return {status, read_file(dir / "stdout"),
            started.terminal >= 0 ? shown : read_file(dir / "stderr"),
            fs::exists(memcheck) ? read_file(memcheck) : ""};
}

}  // namespace

Run run_program(const Launch &launch) {
    return finish_in(test_dir(), start_in(test_dir(), launch, "all"), kDeadlineSeconds);
}

std::string reference_stream(const std::string &input) {
    const fs::path dir = test_dir() / "reference";
    fs::create_directories(dir);
    write_file(dir / input_path().filename(), input);
    const Run run = finish_in(dir, start_in(dir, {}, "all"), kDeadlineSeconds);
    EXPECT_EQ(run.status, 0) << run.err;
    return read_file(dir / output_path().filename());
}

Started start_program(const Launch &launch) {
    return start_in(test_dir(), launch, "definite,indirect");
}

bool running(const Started &started) {
    siginfo_t info{};
    return waitid(P_PID, started.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

Run finish(const Started &started, double seconds) {
    return finish_in(test_dir(), started, seconds);
}

bool pending(const Started &started, int signal) {
    std::ifstream status("/proc/" + std::to_string(started.pid) + "/status");
    std::string field;
    std::string mask;
    while (status >> field >> mask && field != "ShdPnd:") {
        status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return field == "ShdPnd:" && (std::stoull(mask, nullptr, 16) >> (signal - 1) & 1U) != 0;
}

std::string screen(const std::string &output) {
    std::string shown;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        // A terminal ends a line with a carriage return too; any other starts a rewrite, which
        // erases the line first.
        if (line.ends_with('\r')) {
            line.pop_back();
        }
        line.erase(0, line.rfind('\r') + 1);  // from 0 when there is none
        shown += (line.starts_with("\033[K") ? line.substr(3) : line) + '\n';
    }
    return shown;
}

int command(const std::vector<std::string> &args) {
    return wait_for(spawn(args, {}, test_dir()), kDeadlineSeconds);
}

std::string own_lines(const std::string &text) {
    std::istringstream lines(text);
    std::string own;
    for (std::string line; std::getline(lines, line);) {
        own += line.rfind("x264 [", 0) == 0 ? "" : line + "\n";
    }
    return own;
}

std::vector<std::string> fault_shim(const std::string &fault) {
    // Under qemu-user the preload is the emulated program's, not the host's emulator's.
    const char *preload = emulated() ? "QEMU_SET_ENV=LD_PRELOAD=" : "LD_PRELOAD=";
    return {preload + std::string(YUV2H264_FAULT_SHIM), "YUV2H264_FAULT=" + fault,
            "YUV2H264_PTS_LOG=" + (test_dir() / "pts.log").string()};
}

std::string encoded() {
    const fs::path log = test_dir() / "pts.log";
    return fs::exists(log) ? read_file(log) : "";
}

int frames_encoded() {
    const std::string log = encoded();
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

std::string moving_frames(int count) {
    std::string frames(kFrameSize * count, '\0');
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::size_t t = i / kFrameSize;
        const std::size_t x = i % kFrameSize % kWidth;
        const std::size_t y = i % kFrameSize / kWidth;
        frames[i] = static_cast<char>(((x + 3 * t) ^ (y + t)) * 5);
    }
    return frames;
}

std::string noise_frames(int count) {
    std::minstd_rand random;
    std::string frames(kFrameSize * count, '\0');
    std::generate(frames.begin(), frames.end(),
                  [&random] { return static_cast<char>(random() & 0xFF); });
    return frames;
}

std::string flat_frames(int count) {
    return std::string(kFrameSize * count, '\x80');
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

}  // namespace test
