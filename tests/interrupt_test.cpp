// Stop signals, whatever the instant they come: the run ends after the frame in progress, by that
// signal, and the stream holds every frame read in full, exactly as a run on those frames alone
// writes it. The fault shim raises a signal at an exact call; a signal the test sends waits for
// what the run shows: the frames it logged and the fill level of its pipes.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "signal_handling.h"
#include "test_support.h"

namespace {

using test::input_path;
using test::output_path;

std::string raise_at(int signal, const std::string &point) {
    return "raise:" + std::to_string(signal) + "@" + point;
}

// Polls for up to about a minute.
template <typename Condition>
[[nodiscard]] bool eventually(Condition condition) {
    for (int tries = 0; tries < 60000 && !condition(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

int unread_bytes(int pipe_end) {
    int bytes = -1;
    return ioctl(pipe_end, FIONREAD, &bytes) == 0 ? bytes : -1;
}

// An output pipe that the test reads only when it chooses, filled with whole pages first: the
// run's first write waits before it has written a byte. Returns the reading end.
int full_output_pipe(std::size_t *filled) {
    EXPECT_EQ(mkfifo(output_path().c_str(), 0644), 0);
    const int reader = open(output_path().c_str(), O_RDONLY | O_NONBLOCK);
    const int writer = open(output_path().c_str(), O_WRONLY | O_NONBLOCK);
    const std::string page(4096, 'p');
    for (*filled = 0; write(writer, page.data(), page.size()) > 0; *filled += page.size()) {
    }
    close(writer);
    return reader;
}

// Reads on what the run writes until it ends, however it ends.
std::string read_to_end(int reader) {
    (void)fcntl(reader, F_SETFL, 0);
    std::string bytes;
    char chunk[1 << 16];
    for (ssize_t n; (n = read(reader, chunk, sizeof chunk)) > 0;) {
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    close(reader);
    return bytes;
}

class Interrupt : public testing::TestWithParam<test::Runner> {
protected:
    void SetUp() override {
        test::skip_unless_usable(GetParam());
        test::reset_test_dir();
    }

    static test::Started start(const std::string &fault = "", rlim_t descriptors = RLIM_INFINITY) {
        return test::start_program({.environment = test::fault_shim(fault),
                                    .runner = GetParam(),
                                    .descriptor_limit = descriptors});
    }

    // Checks how the run ended and what it kept; returns the number of frames it encoded.
    static int expect_stopped_by(int signal, const test::Run &run, const std::string &stream,
                                 const std::string &input) {
        EXPECT_EQ(run.status, 128 + signal) << run.err;
        EXPECT_EQ(test::own_lines(run.err), "Encoding interrupted\n");
        EXPECT_EQ(run.memcheck, "");
        const int frames = test::frames_encoded();
        EXPECT_TRUE(stream == test::reference_stream(input.substr(0, frames * test::kFrameSize)))
            << "the stream is not the " << frames << " frames encoded";
        return frames;
    }
};

// Raised while frame 2 is encoded, frame 2 is finished and frame 3 not begun, however many
// copies of any stop signal come within the instant; raised while the encoder is released, or
// once everything is, after the last frame, it is told too.
TEST_P(Interrupt, OnARegularInputFinishesTheFrameInProgress) {
    const struct {
        const char *fault;
        int signal;
        int frames;
    } ways[] = {{"raise:2,15,1,2@encode:2", SIGINT, 3},
                {"raise:1@close:0", SIGHUP, 6},
                {"raise:1@exit:0", SIGHUP, 6}};
    for (const auto &way : ways) {
        SCOPED_TRACE(way.fault);
        test::reset_test_dir();
        const std::string input = test::moving_frames(6);
        test::write_file(input_path(), input);
        const test::Run run = test::finish(start(way.fault), 60);

        EXPECT_EQ(expect_stopped_by(way.signal, run, test::read_file(output_path()), input),
                  way.frames);
    }
}

// The writer stays but sends nothing: the signal must end the wait, or the read after it however
// close behind the loop's last look for a stop it lands, and the frame not read in full is dropped.
TEST_P(Interrupt, OnASilentPipeEndsAtOnce) {
    const struct {
        const char *when;
        const char *fault;  // empty: the test sends the signal
        std::size_t tail;   // bytes of frame 3 sent before the pipe falls silent
        rlim_t descriptors = RLIM_INFINITY;
    } ways[] = {
        // Once the run has taken every byte sent, it can only be waiting in the read.
        {"sent while the read for frame 3 waits", "", test::kFrameSize / 2},
        // Before its 10th read, frame 3's first plane: after the loop has looked for a stop and
        // before the read begins to wait.
        {"raised just before the read for frame 3", "read:9", 0},
        // The standard streams, the input, the output and the shim's log: no descriptor is free.
        {"raised just before the read for frame 3, no descriptor free", "read:9", 0, 6},
    };
    for (const auto &way : ways) {
        if (way.descriptors != RLIM_INFINITY && GetParam() == test::Runner::kMemcheck) {
            continue;  // valgrind needs descriptors of its own
        }
        SCOPED_TRACE(way.when);
        test::reset_test_dir();
        ASSERT_EQ(mkfifo(input_path().c_str(), 0644), 0);
        const test::Started started =
            start(*way.fault != '\0' ? raise_at(SIGTERM, way.fault) : "", way.descriptors);
        const int feed = open(input_path().c_str(), O_WRONLY);
        ASSERT_GE(feed, 0);
        const std::string frames = test::moving_frames(4);
        const std::size_t sent = 3 * test::kFrameSize + way.tail;
        ASSERT_EQ(write(feed, frames.data(), sent), static_cast<ssize_t>(sent));
        if (*way.fault == '\0') {
            ASSERT_TRUE(
                eventually([&] { return test::frames_encoded() == 3 && unread_bytes(feed) == 0; }));
            kill(started.pid, SIGTERM);
        }
        const test::Run run = test::finish(started, 10);
        close(feed);

        EXPECT_EQ(expect_stopped_by(SIGTERM, run, test::read_file(output_path()), frames), 3);
    }
}

// Before the first frame, even while the open of a named pipe waits for its writer, a stop signal
// says so and ends the run at once, the output untouched. The start line comes just before.
TEST_P(Interrupt, WhileWaitingToOpenTheInputEndsAtOnce) {
    ASSERT_EQ(mkfifo(input_path().c_str(), 0644), 0);
    test::write_file(output_path(), "an older stream");
    const test::Started started = start();
    const auto out = test::test_dir() / "stdout";
    ASSERT_TRUE(
        eventually([&] { return std::filesystem::exists(out) && !test::read_file(out).empty(); }));
    kill(started.pid, SIGINT);
    const test::Run run = test::finish(started, 10);

    EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
    EXPECT_EQ(test::own_lines(run.err), "Encoding interrupted\n");
    EXPECT_EQ(run.memcheck, "");
    EXPECT_EQ(test::read_file(output_path()), "an older stream");
}

// The reader has stopped reading: each signal lands in a waiting write, which must go on, however
// many copies of the stop come (a shell's `kill %1` to a job under `timeout`). Or the reader goes
// with the stop, as a pipeline's does at Ctrl-C: the run is interrupted, not failed.
TEST_P(Interrupt, OnAFullOutputPipe) {
    const struct {
        const char *when;
        std::vector<int> signals;
        bool reader_goes = false;
    } ways[] = {{"three copies", {SIGTERM, SIGTERM, SIGTERM}},
                {"the reader goes with the stop", {SIGINT}, true}};
    for (const auto &way : ways) {
        SCOPED_TRACE(way.when);
        test::reset_test_dir();
        const std::string input = test::moving_frames(3);
        test::write_file(input_path(), input);
        std::size_t filled = 0;
        const int reader = full_output_pipe(&filled);
        ASSERT_GE(reader, 0);
        const test::Started started = start();
        // Frame 0 logged: its first unit is being written, into the full pipe.
        ASSERT_TRUE(eventually([] { return test::frames_encoded() == 1; }));
        for (const int signal : way.signals) {
            kill(started.pid, signal);
            ASSERT_TRUE(eventually([&] { return !test::pending(started, signal); }));
        }
        if (way.reader_goes) {
            close(reader);
            const test::Run run = test::finish(started, 60);
            EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
            EXPECT_EQ(test::own_lines(run.err), "Encoding interrupted\n");
            continue;
        }
        const std::string stream = read_to_end(reader).substr(filled);
        const test::Run run = test::finish(started, 60);

        EXPECT_EQ(expect_stopped_by(way.signals[0], run, stream, input), 1);
    }
}

// Memcheck watches these runs too, for memory errors and lost blocks.
INSTANTIATE_TEST_SUITE_P(Runners, Interrupt, testing::ValuesIn(test::available_runners()),
                         [](const auto &info) { return test::suffix(info.param, "Plain"); });

// A run stuck on a reader that never reads ends at a second stop that a person sends: a signal
// after the first one's instant, or Ctrl-C pressed at the terminal, however soon. The first is
// raised while frame 0 is encoded, so it has surely come, and must not end the run.
TEST(SecondInterrupt, EndsTheRunAtOnce) {
    for (const bool at_the_terminal : {false, true}) {
        SCOPED_TRACE(at_the_terminal ? "Ctrl-C at once" : "a signal after the instant");
        test::reset_test_dir();
        test::write_file(input_path(), test::moving_frames(2));
        std::size_t filled = 0;
        const int reader = full_output_pipe(&filled);
        ASSERT_GE(reader, 0);
        const test::Started started = test::start_program(
            {.environment = test::fault_shim(raise_at(SIGINT, "encode:0")),
             .streams = at_the_terminal ? test::Streams::kTerminal : test::Streams::kFiles});
        ASSERT_TRUE(
            eventually([&] { return test::frames_encoded() == 1 || !test::running(started); }));
        ASSERT_TRUE(test::running(started)) << "the first signal ended the run";
        EXPECT_EQ(unread_bytes(reader), static_cast<int>(filled));
        if (at_the_terminal) {
            ASSERT_EQ(write(started.terminal, "\003", 1), 1);
        } else {
            std::this_thread::sleep_for(std::chrono::nanoseconds(kSameStopNanoseconds));
            kill(started.pid, SIGINT);
        }
        const test::Run run = test::finish(started, 5);
        close(reader);

        EXPECT_EQ(run.status, 128 + SIGINT);
        // A terminal shows the start line too.
        EXPECT_EQ(test::own_lines(test::screen(run.err)),
                  std::string(at_the_terminal ? "hello world.\n" : "") + "Encoding interrupted\n");
    }
}

}  // namespace
