#include "test_support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {

namespace fs = std::filesystem;

fs::path input_path() {
    return fs::path(YUV2H264_TEST_DATA_DIR) / "yuv_420-352x288.yuv";
}

fs::path output_path() {
    return fs::path(YUV2H264_TEST_DATA_DIR) / "x.h264";
}

fs::path work_path(const std::string &name) {
    return fs::path(YUV2H264_TEST_WORK_DIR) / name;
}

namespace {

// The descriptor that holds the output's lock for hold_output_lock(), or -1.
int &held_lock() {
    static int fd = -1;
    return fd;
}

}  // namespace

void hold_output_lock() {
    held_lock() = open(output_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (held_lock() < 0 || flock(held_lock(), LOCK_EX | LOCK_NB) != 0) {
        throw std::runtime_error("cannot lock " + output_path().string());
    }
}

void reset_files() {
    if (held_lock() >= 0) {
        close(held_lock());
        held_lock() = -1;
    }
    for (const char *dir : {YUV2H264_TEST_DATA_DIR, YUV2H264_TEST_WORK_DIR}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
}

std::string own_lines(const std::string &text) {
    std::istringstream lines(text);
    std::string own;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("x264 [", 0) != 0) {
            own += line + "\n";
        }
    }
    return own;
}

namespace {

constexpr double kDeadlineSeconds = 120;

pid_t start_shell(const std::string &command) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("cannot start " + command);
    }
    return pid;
}

// Waits up to `seconds` for `pid`: its exit status, 128 + the signal that ended it, or -1 when
// it had to be killed.
int wait_for(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int result = 0;
    while (waitpid(pid, &result, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &result, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFSIGNALED(result) ? 128 + WTERMSIG(result) : WEXITSTATUS(result);
}

// The shell command that runs the program, its standard streams going to the work files.
std::string command_line(const Launch &launch, const std::string &leak_kinds) {
    std::string setup;
    if (!launch.limits.empty()) {
        setup += "ulimit " + launch.limits + " && ";
    }
    std::string program = YUV2H264_TEST_PROGRAM;
    if (launch.build == Build::kWorkingDirectory) {
        setup += "cd '" YUV2H264_TEST_DATA_DIR "' && ";
        program = YUV2H264_TEST_PROGRAM_HERE;
    }
    std::string wrapper;
    if (launch.runner == Runner::kMemcheck) {
        if (!fs::exists(YUV2H264_TEST_VALGRIND)) {
            throw std::runtime_error("valgrind is needed to run the program under memcheck");
        }
        wrapper = "'" YUV2H264_TEST_VALGRIND "' --quiet --error-exitcode=" +
                  std::to_string(kMemcheckStatus) +
                  " --leak-check=full --show-leak-kinds=" + leak_kinds +
                  " --errors-for-leak-kinds=" + leak_kinds + " --log-file='" +
                  work_path("memcheck.log").string() + "'";
    }
    return setup + "exec env " + launch.environment + " " + wrapper + " '" + program + "' >'" +
           work_path("stdout").string() + "' 2>'" + work_path("stderr").string() + "' </dev/null " +
           launch.streams;
}

}  // namespace

int shell(const std::string &command) {
    return wait_for(start_shell(command), kDeadlineSeconds);
}

std::vector<Runner> available_runners() {
    constexpr bool sanitized = YUV2H264_TEST_SANITIZED;
    if (sanitized) {
        return {Runner::kPlain};
    }
    return {Runner::kPlain, Runner::kMemcheck};
}

Run run_program(const Launch &launch) {
    return finish({start_shell(command_line(launch, "all"))}, kDeadlineSeconds);
}

Started start_program(const Launch &launch) {
    return {start_shell(command_line(launch, "definite,indirect"))};
}

Run finish(const Started &started, double seconds) {
    const int status = wait_for(started.pid, seconds);
    const fs::path memcheck = work_path("memcheck.log");
    return {status, read_file(work_path("stdout")), read_file(work_path("stderr")),
            fs::exists(memcheck) ? read_file(memcheck) : ""};
}

std::string fault_shim(const std::string &settings) {
    return "LD_PRELOAD='" YUV2H264_FAULT_SHIM "' " + settings;
}

std::vector<uint8_t> moving_frames(int count) {
    std::vector<uint8_t> frames;
    frames.reserve(kFrameSize * count);
    for (int t = 0; t < count; ++t) {
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                frames.push_back(static_cast<uint8_t>(((x + 3 * t) ^ (y + t)) * 5));
            }
        }
        for (int plane = 0; plane < 2; ++plane) {
            for (int y = 0; y < kHeight / 2; ++y) {
                for (int x = 0; x < kWidth / 2; ++x) {
                    frames.push_back(static_cast<uint8_t>(plane == 0 ? x + 2 * t : 255 - y - t));
                }
            }
        }
    }
    return frames;
}

std::vector<uint8_t> noise_frames(int count) {
    std::minstd_rand random;
    std::vector<uint8_t> frames(kFrameSize * count);
    std::generate(frames.begin(), frames.end(), [&random] { return random() & 0xFF; });
    return frames;
}

std::vector<uint8_t> flat_frames(int count) {
    return std::vector<uint8_t>(kFrameSize * count, 128);
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void write_file(const fs::path &path, const std::string &text) {
    write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

}  // namespace test
