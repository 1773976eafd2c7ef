// Stop signals, whatever the instant they come: the run ends after the frame in progress, by that
// signal, and the stream holds every frame read in full, exactly as a run on those frames alone
// writes it. These cases depend on timing and on /proc.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::input_path;
using test::output_path;

class Interrupt : public testing::TestWithParam<test::Runner> {
protected:
    void SetUp() override {
        test::reset_files();
    }

    test::Started start(const std::string &fault = "") const {
        return test::start_program(
            {.environment = test::fault_shim("YUV2H264_FAULT='" + fault + "' YUV2H264_PTS_LOG='" +
                                             log_.string() + "'"),
             .runner = GetParam()});
    }

    int frames_encoded() const {
        const std::string log = fs::exists(log_) ? test::read_file(log_) : "";
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }

    // Checks how the run ended and what it kept; returns the number of frames it encoded.
    int expect_stopped_by(int signal, const test::Run &run, const std::string &stream,
                          std::vector<uint8_t> input) const {
        EXPECT_EQ(run.status, 128 + signal) << run.err;
        EXPECT_EQ(test::own_lines(run.err), "Encoding interrupted\n");
        EXPECT_EQ(run.memcheck, "");
        const int frames = frames_encoded();
        fs::remove(input_path());
        fs::remove(output_path());
        input.resize(std::min(input.size(), frames * test::kFrameSize));
        test::write_file(input_path(), input);
        EXPECT_EQ(test::run_program().status, 0);
        EXPECT_TRUE(stream == test::read_file(output_path()))
            << "the stream is not the " << frames << " frames encoded";
        return frames;
    }

    const fs::path log_ = test::work_path("pts.log");
};

template <typename Condition>
[[nodiscard]] bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The run waits for its reader to make room in the output pipe.
bool waits_to_write(const test::Started &started) {
    const fs::path wchan = "/proc/" + std::to_string(started.pid) + "/wchan";
    return test::read_file(wchan).find("pipe_write") != std::string::npos;
}

// An output pipe that the test reads only when it chooses.
int unread_output_pipe(const std::vector<uint8_t> &input) {
    test::write_file(input_path(), input);
    EXPECT_EQ(mkfifo(output_path().c_str(), 0644), 0);
    return open(output_path().c_str(), O_RDONLY | O_NONBLOCK);
}

std::string read_to_end(int fd) {
    (void)fcntl(fd, F_SETFL, 0);
    std::string bytes;
    char chunk[1 << 16];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
}

TEST_P(Interrupt, OnARegularInputFinishesTheFrameInProgress) {
    constexpr int kFrames = 100;
    const std::vector<uint8_t> input = test::moving_frames(kFrames);
    test::write_file(input_path(), input);
    const test::Started started = start();
    ASSERT_TRUE(
        eventually([] { return fs::exists(output_path()) && fs::file_size(output_path()) > 0; }));
    kill(started.pid, SIGINT);
    const test::Run run = test::finish(started, 60);

    const int frames = expect_stopped_by(SIGINT, run, test::read_file(output_path()), input);
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, kFrames);
}

// The writer stays but sends nothing: the signal must end the wait, or the read after it however
// close behind the loop's last look for a stop it lands, and the frame not read in full is dropped.
TEST_P(Interrupt, OnASilentPipeEndsAtOnce) {
    const struct {
        const char *when;
        const char *fault;  // empty: the test sends the signal
        std::size_t tail;   // bytes of frame 3 sent before the pipe falls silent
    } ways[] = {
        {"sent while the read for frame 3 waits", "", test::kFrameSize / 2},
        // The shim raises it in the program before its 10th read, frame 3's first plane: after
        // the loop has looked for a stop and before the read begins to wait.
        {"raised just before the read for frame 3", "stop_before_read:9", 0},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.when);
        test::reset_files();
        ASSERT_EQ(mkfifo(input_path().c_str(), 0644), 0);
        const test::Started started = start(way.fault);
        const int feed = open(input_path().c_str(), O_WRONLY);
        ASSERT_GE(feed, 0);
        const std::vector<uint8_t> frames = test::moving_frames(4);
        const std::size_t sent = 3 * test::kFrameSize + way.tail;
        ASSERT_EQ(write(feed, frames.data(), sent), static_cast<ssize_t>(sent));
        ASSERT_TRUE(eventually([this] { return frames_encoded() == 3; }));
        if (*way.fault == '\0') {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into the wait
            kill(started.pid, SIGTERM);
        }
        const test::Run run = test::finish(started, 5);
        close(feed);

        EXPECT_EQ(expect_stopped_by(SIGTERM, run, test::read_file(output_path()), frames), 3);
    }
}

// The reader has stopped reading: the signal lands in a waiting write, which must go on.
TEST_P(Interrupt, OnAFullOutputPipeStillWritesTheFrameInProgressWhole) {
    const std::vector<uint8_t> input = test::noise_frames(10);
    const int reader = unread_output_pipe(input);
    ASSERT_GE(reader, 0);
    const test::Started started = start();
    ASSERT_TRUE(eventually([&started] { return waits_to_write(started); }));
    kill(started.pid, SIGHUP);
    const std::string stream = read_to_end(reader);
    close(reader);
    const test::Run run = test::finish(started, 60);

    EXPECT_GT(expect_stopped_by(SIGHUP, run, stream, input), 0);
}

// Memcheck watches these runs too, for memory errors and lost blocks.
INSTANTIATE_TEST_SUITE_P(Runners, Interrupt, testing::ValuesIn(test::available_runners()),
                         [](const testing::TestParamInfo<test::Runner> &info) {
                             return info.param == test::Runner::kMemcheck ? "UnderMemcheck"
                                                                          : "Plain";
                         });

// A run stuck on a reader that never reads ends at the second signal, without finishing.
TEST(SecondInterrupt, EndsTheRunAtOnce) {
    test::reset_files();
    const int reader = unread_output_pipe(test::noise_frames(10));
    ASSERT_GE(reader, 0);
    const test::Started started = test::start_program();
    ASSERT_TRUE(eventually([&started] { return waits_to_write(started); }));
    kill(started.pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(started.pid, SIGINT);
    const test::Run run = test::finish(started, 5);
    close(reader);

    EXPECT_EQ(run.status, 128 + SIGINT);
    EXPECT_EQ(test::own_lines(run.err), "");
}

}  // namespace
