// The program as a process: its start line, messages, exit statuses and what it leaves in the
// output file, for every way a run can end.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::fault_shim;
using test::input_path;
using test::output_path;

enum class Output {
    kEmpty,
    kNotEmpty,
    kDirectory,
    kDevice,        // a device or a pipe, still there and not replaced by a file
    kAsPrepared,    // byte for byte what the case left there: the input, another run's stream
    kNormalStream,  // what a run with ordinary standard streams writes for the same input
};

struct Case {
    const char *name;
    void (*prepare)();
    const char *fault;  // the libx264 call made to fail, if any
    int status;
    const char *own_err;
    Output output;
    const char *encoded;       // the timestamps handed to the encoder, one per line; null: any
    const char *streams = "";  // redirections of the program's standard streams
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

void full_disk_output() {
    fs::create_symlink("/dev/full", output_path());
}

void two_frames_in() {
    test::write_file(input_path(), test::moving_frames(2));
}

const Case kCases[] = {
    {"EmptyInput", [] { test::write_file(input_path(), ""); }, "", 0, "", Output::kEmpty, ""},
    {"WholeFramesAndAPartialTail",
     [] {
         auto frames = test::moving_frames(3);
         frames.resize(frames.size() + test::kFrameSize / 2);
         test::write_file(input_path(), frames);
     },
     "", 0, "", Output::kNotEmpty, "0\n1\n2\n"},
    {"MissingInputStillTruncatesTheOutput",
     [] { test::write_file(output_path(), "an older stream"); }, "", test::kFailureStatus,
     "Failed to open input file\n", Output::kEmpty, ""},
    {"OutputCannotBeCreated",
     [] {
         test::write_file(input_path(), test::moving_frames(1));
         fs::create_directory(output_path());
     },
     "", test::kFailureStatus, "Failed to open output file\n", Output::kDirectory, ""},
    {"NeitherFileOpensReportsTheInputOnly", [] { fs::create_directory(output_path()); }, "",
     test::kFailureStatus, "Failed to open input file\n", Output::kDirectory, ""},
    {"InputReadError", [] { fs::create_directory(input_path()); }, "", test::kFailureStatus,
     "Failed to read input file\n", Output::kEmpty, ""},
    // Each frame goes out before the next is read, small ones too: the first write fails.
    {"DiskFullWhileWriting",
     [] {
         test::write_file(input_path(), test::moving_frames(4));
         full_disk_output();
     },
     "", test::kFailureStatus, "Failed to write output file\n", Output::kDevice, "0\n"},
    {"DiskFullOnSmallFrames",
     [] {
         test::write_file(input_path(), test::flat_frames(3));
         full_disk_output();
     },
     "", test::kFailureStatus, "Failed to write output file\n", Output::kDevice, "0\n"},
    // A reader that quits is a failed write, not a silent death by SIGPIPE.
    {"PipeReaderQuits",
     [] {
         test::write_file(input_path(), test::moving_frames(8));
         ASSERT_EQ(
             test::shell("mkfifo '" + output_path().string() + "' && (timeout 60 head -c 1000 '" +
                         output_path().string() + "' >/dev/null &)"),
             0);
     },
     "", test::kFailureStatus, "Failed to write output file\n", Output::kDevice, nullptr},
    // Without standard error the output must not take its descriptor and the library's log.
    {"StandardInputAndErrorClosed", two_frames_in, "", 0, "", Output::kNormalStream, "0\n1\n",
     "<&- 2>&-"},
    // The start line comes before the library's lines, though standard output is a file.
    {"StartLineComesFirst", two_frames_in, "", 0, "", Output::kNormalStream, "0\n1\n", "2>&1"},
    {"OutputIsASymbolicLinkToTheInput",
     [] {
         two_frames_in();
         fs::create_symlink(input_path().filename(), output_path());
     },
     "", test::kFailureStatus, "Failed to open output file\n", Output::kAsPrepared, ""},
    {"OutputIsAHardLinkToTheInput",
     [] {
         two_frames_in();
         fs::create_hard_link(input_path(), output_path());
     },
     "", test::kFailureStatus, "Failed to open output file\n", Output::kAsPrepared, ""},
    // One run at a time owns the output: a second neither truncates nor writes it.
    {"AnotherRunIsWritingTheOutput",
     [] {
         two_frames_in();
         test::write_file(output_path(), "a stream being written");
         test::hold_output_lock();
     },
     "", test::kFailureStatus, "Failed to open output file\n", Output::kAsPrepared, ""},
    {"AnotherRunIsWritingTheOutputAndTheInputIsMissing",
     [] {
         test::write_file(output_path(), "a stream being written");
         test::hold_output_lock();
     },
     "", test::kFailureStatus, "Failed to open input file\n", Output::kAsPrepared, ""},
    {"EncoderDoesNotOpen", [] { test::write_file(input_path(), test::moving_frames(2)); },
     "encoder_open", test::kFailureStatus, "Failed to open encoder\n", Output::kEmpty, ""},
    {"PictureAllocationFails", [] { test::write_file(input_path(), test::moving_frames(2)); },
     "picture_alloc", test::kFailureStatus, "Failed to allocate picture\n", Output::kEmpty, ""},
    {"EncodeFails", [] { test::write_file(input_path(), test::moving_frames(3)); }, "encode:1",
     test::kFailureStatus, "Failed to encode frame\n", Output::kNotEmpty, "0\n1\n"},
};

class ProgramRun : public testing::TestWithParam<std::tuple<Case, test::Runner>> {
protected:
    void SetUp() override {
        test::reset_files();
    }
};

TEST_P(ProgramRun, EndsWithItsStatusMessageAndOutput) {
    const Case &c = std::get<0>(GetParam());
    const test::Runner runner = std::get<1>(GetParam());
    c.prepare();
    const fs::path output = output_path();
    const std::string prepared = fs::is_regular_file(output) ? test::read_file(output) : "";
    const fs::path log = test::work_path("pts.log");

    const std::string environment = fault_shim("YUV2H264_FAULT='" + std::string(c.fault) +
                                               "' YUV2H264_PTS_LOG='" + log.string() + "'");

    const test::Run run = test::run_program(environment, runner, c.streams);

    EXPECT_EQ(run.status, c.status) << run.memcheck;
    EXPECT_EQ(run.out.substr(0, 13), "hello world.\n") << run.out;
    EXPECT_EQ(test::own_lines(run.out), "hello world.\n");
    EXPECT_EQ(test::own_lines(run.err), c.own_err) << "whole standard error:\n" << run.err;
    const std::string encoded = fs::exists(log) ? test::read_file(log) : "";
    if (c.encoded != nullptr) {
        EXPECT_EQ(encoded, c.encoded);
    }
    switch (c.output) {
        case Output::kEmpty:
            ASSERT_TRUE(fs::is_regular_file(output));
            EXPECT_EQ(fs::file_size(output), 0U);
            break;
        case Output::kNotEmpty:
            ASSERT_TRUE(fs::is_regular_file(output));
            EXPECT_GT(fs::file_size(output), 0U);
            break;
        case Output::kDirectory:
            EXPECT_TRUE(fs::is_directory(output));
            break;
        case Output::kDevice:
            EXPECT_TRUE(fs::is_character_file(output) || fs::is_fifo(output));
            break;
        case Output::kAsPrepared:
            EXPECT_FALSE(prepared.empty());
            EXPECT_TRUE(test::read_file(output) == prepared) << "the output was changed";
            break;
        case Output::kNormalStream: {
            const std::string stream = test::read_file(output);
            ASSERT_EQ(test::run_program().status, 0);
            EXPECT_TRUE(stream == test::read_file(output)) << "the streams differ";
            break;
        }
    }
}

// Under memcheck every exit path must also end with no memory error and nothing left allocated.
INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramRun,
    testing::Combine(testing::ValuesIn(kCases), testing::ValuesIn(test::available_runners())),
    [](const testing::TestParamInfo<ProgramRun::ParamType> &info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == test::Runner::kMemcheck ? "UnderMemcheck" : "");
    });

class ProgramStream : public testing::Test {
protected:
    void SetUp() override {
        test::reset_files();
    }
};

// Frames encoded before a failure stay in the file, exactly as a run that ended there writes them.
TEST_F(ProgramStream, EncodeFailureKeepsTheFramesBeforeIt) {
    test::write_file(input_path(), test::moving_frames(3));
    ASSERT_EQ(test::run_program(fault_shim("YUV2H264_FAULT=encode:2")).status,
              test::kFailureStatus);
    const std::string kept = test::read_file(output_path());

    test::write_file(input_path(), test::moving_frames(2));
    ASSERT_EQ(test::run_program().status, 0);

    EXPECT_FALSE(kept.empty());
    EXPECT_EQ(kept, test::read_file(output_path()));
}

// A stop signal ends the run after the frame in progress, and by that signal: the stream then
// holds every frame read in full, exactly as a run on those frames alone writes it.
class Interrupt : public testing::TestWithParam<test::Runner> {
protected:
    void SetUp() override {
        test::reset_files();
    }

    test::Started start() const {
        return test::start_program(fault_shim("YUV2H264_PTS_LOG='" + log_.string() + "'"),
                                   GetParam());
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

// The writer stays but sends nothing: the signal itself must wake the waiting read.
TEST_P(Interrupt, OnASilentPipeEndsAtOnceAndDropsTheFrameNotReadInFull) {
    ASSERT_EQ(mkfifo(input_path().c_str(), 0644), 0);
    const test::Started started = start();
    const int feed = open(input_path().c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);
    const std::vector<uint8_t> frames = test::moving_frames(3);
    ASSERT_EQ(write(feed, frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
    ASSERT_EQ(write(feed, frames.data(), test::kFrameSize / 2),
              static_cast<ssize_t>(test::kFrameSize / 2));
    ASSERT_TRUE(eventually([this] { return frames_encoded() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into the wait for frame 3
    kill(started.pid, SIGTERM);
    const test::Run run = test::finish(started, 5);
    close(feed);

    EXPECT_EQ(expect_stopped_by(SIGTERM, run, test::read_file(output_path()), frames), 3);
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
