// The program as a process: its start line, messages, exit statuses and what it leaves in the
// output file, for every way a run can end.

#include <fcntl.h>
#include <sys/file.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::input_path;
using test::output_path;

enum class Output {
    kEmpty,
    kNotEmpty,
    kDirectory,
    kDevice,        // a device or a pipe, still there and not replaced by a file
    kAsPrepared,    // byte for byte what the case left there: the input, another run's stream
    kNormalStream,  // what a plain run writes for the same input
    kFramesBefore,  // what a plain run writes for the frames encoded before the failing one
};

struct Case {
    const char *name;
    void (*prepare)();
    const char *fault = "";  // the libx264 call made to fail, if any
    int status = 0;
    const char *own_err = "";
    Output output = Output::kEmpty;
    const char *encoded = "";  // the timestamps handed to the encoder, one per line; null: any
    test::Launch launch{};     // its standard streams, file-size limit and build
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

void two_frames_in() {
    test::write_file(input_path(), test::moving_frames(2));
}

constexpr int kFailed = test::kFailureStatus;
constexpr char kWriteFailed[] = "Failed to write output file\n";
constexpr char kOutputRefused[] = "Failed to open output file\n";

// One case to a row or two, its fields by name; laid out by hand, as a table.
// clang-format off
const Case kCases[] = {
    {.name = "EmptyInput", .prepare = [] { test::write_file(input_path(), ""); }},
    {.name = "WholeFramesAndAPartialTail", .prepare = [] {
         auto frames = test::moving_frames(3);
         frames.resize(frames.size() + test::kFrameSize / 2);
         test::write_file(input_path(), frames);
     }, .output = Output::kNotEmpty, .encoded = "0\n1\n2\n"},
    {.name = "MissingInputStillTruncatesTheOutput",
     .prepare = [] { test::write_file(output_path(), "an older stream"); },
     .status = kFailed, .own_err = "Failed to open input file\n"},
    {.name = "OutputCannotBeCreated", .prepare = [] {
         test::write_file(input_path(), test::moving_frames(1));
         fs::create_directory(output_path());
     }, .status = kFailed, .own_err = kOutputRefused, .output = Output::kDirectory},
    {.name = "NeitherFileOpensReportsTheInputOnly",
     .prepare = [] { fs::create_directory(output_path()); },
     .status = kFailed, .own_err = "Failed to open input file\n", .output = Output::kDirectory},
    {.name = "InputReadError", .prepare = [] { fs::create_directory(input_path()); },
     .status = kFailed, .own_err = "Failed to read input file\n"},
    // Each frame goes out before the next is read, small ones too: the first write fails.
    {.name = "DiskFullOnSmallFrames", .prepare = [] {
         test::write_file(input_path(), test::flat_frames(3));
         fs::create_symlink("/dev/full", output_path());
     },
     .status = kFailed, .own_err = kWriteFailed, .output = Output::kDevice, .encoded = "0\n"},
    // A write that fails after a stop came (raised during frame 0) is a failure, not the stop.
    {.name = "DiskFullAfterAStop", .prepare = [] {
         test::write_file(input_path(), test::flat_frames(3));
         fs::create_symlink("/dev/full", output_path());
     }, .fault = "raise:15@encode:0",
     .status = kFailed, .own_err = kWriteFailed, .output = Output::kDevice, .encoded = "0\n"},
    // A reader that quits is a failed write, not a silent death by SIGPIPE.
    {.name = "PipeReaderQuits", .prepare = [] {
         test::write_file(input_path(), test::moving_frames(8));
         ASSERT_EQ(test::command({"/bin/sh", "-c",
                                  "mkfifo x.h264 && (timeout 60 head -c 1000 x.h264 >/dev/null &)"}),
                   0);
     }, .status = kFailed, .own_err = kWriteFailed, .output = Output::kDevice, .encoded = nullptr},
    // Nor is a write past the file-size limit a death by SIGXFSZ with the last unit cut: the first
    // noise frame alone is several times the limit.
    {.name = "FileSizeLimitReached",
     .prepare = [] { test::write_file(input_path(), test::noise_frames(3)); },
     .status = kFailed, .own_err = kWriteFailed, .output = Output::kNotEmpty, .encoded = "0\n",
     .launch = {.file_size_limit = 51200}},
    // Without standard error the output must not take its descriptor and the library's log.
    {.name = "StandardInputAndErrorClosed", .prepare = two_frames_in,
     .output = Output::kNormalStream, .encoded = "0\n1\n",
     .launch = {.streams = test::Streams::kInputAndErrorClosed}},
    // The start line comes before the library's lines, though standard output is a file.
    {.name = "StartLineComesFirst", .prepare = two_frames_in,
     .output = Output::kNormalStream, .encoded = "0\n1\n",
     .launch = {.streams = test::Streams::kErrorToOutput}},
    // Its data directory's name holds a quote, a backslash, a space and a letter outside ASCII.
    {.name = "OddlyNamedDataDirectory", .prepare = two_frames_in,
     .output = Output::kNormalStream, .encoded = "0\n1\n",
     .launch = {.build = test::Build::kOddlyNamedDirectory}},
    // A stop signal the parent blocked or ignored (raised during frame 0) stays so to the end.
    {.name = "StopSignalBlockedByTheParent", .prepare = two_frames_in, .fault = "raise:15@encode:0",
     .output = Output::kNormalStream, .encoded = "0\n1\n", .launch = {.blocked_signal = SIGTERM}},
    {.name = "StopSignalIgnoredByTheParent", .prepare = two_frames_in, .fault = "raise:1@encode:0",
     .output = Output::kNormalStream, .encoded = "0\n1\n", .launch = {.ignored_signal = SIGHUP}},
    // The same file under another name: a symbolic link is caught as surely.
    {.name = "OutputIsAHardLinkToTheInput", .prepare = [] {
         two_frames_in();
         fs::create_hard_link(input_path(), output_path());
     }, .status = kFailed, .own_err = kOutputRefused, .output = Output::kAsPrepared},
    // A device such as /dev/null is everyone's: a lock another process holds on it does not count.
    {.name = "OutputIsADeviceAnotherProcessLocks", .prepare = [] {
         two_frames_in();
         fs::create_symlink("/dev/null", output_path());
         // Held to the test's end; shared, since this row's plain and memcheck runs hold it at
         // once. A run that asked for its own lock would be refused all the same.
         const int lock = open("/dev/null", O_RDONLY | O_CLOEXEC);
         ASSERT_EQ(flock(lock, LOCK_SH | LOCK_NB), 0);
     }, .output = Output::kDevice, .encoded = "0\n1\n"},
    // One run at a time owns the output: a second neither truncates nor writes it.
    {.name = "AnotherRunIsWritingTheOutput", .prepare = [] {
         two_frames_in();
         test::write_file(output_path(), "a stream being written");
         // Held until the test's process ends: no other test has this file.
         const int lock = open(output_path().c_str(), O_RDWR | O_CLOEXEC);
         ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
     }, .status = kFailed, .own_err = kOutputRefused, .output = Output::kAsPrepared},
    {.name = "EncoderDoesNotOpen", .prepare = two_frames_in, .fault = "encoder_open",
     .status = kFailed, .own_err = "Failed to open encoder\n"},
    {.name = "PictureAllocationFails", .prepare = two_frames_in, .fault = "picture_alloc",
     .status = kFailed, .own_err = "Failed to allocate picture\n"},
    // A file system may report a failed write only when the file is closed.
    {.name = "OutputFailsAtClose", .prepare = two_frames_in, .fault = "fclose:output",
     .status = kFailed, .own_err = kWriteFailed, .output = Output::kNormalStream,
     .encoded = "0\n1\n"},
    // Frames encoded before a failure stay, exactly as a run that ended there writes them.
    {.name = "EncodeFails",
     .prepare = [] { test::write_file(input_path(), test::moving_frames(3)); },
     .fault = "encode:1", .status = kFailed, .own_err = "Failed to encode frame\n",
     .output = Output::kFramesBefore, .encoded = "0\n1\n"},
};
// clang-format on

class ProgramRun : public testing::TestWithParam<std::tuple<Case, test::Runner>> {
protected:
    void SetUp() override {
        test::skip_unless_usable(std::get<1>(GetParam()));
        test::reset_test_dir();
    }
};

TEST_P(ProgramRun, EndsWithItsStatusMessageAndOutput) {
    const Case &c = std::get<0>(GetParam());
    const test::Runner runner = std::get<1>(GetParam());
    c.prepare();
    const fs::path output = output_path();
    const std::string prepared = fs::is_regular_file(output) ? test::read_file(output) : "";
    test::Launch launch = c.launch;
    launch.environment = test::fault_shim(c.fault);
    launch.runner = runner;
    const test::Run run = test::run_program(launch);

    EXPECT_EQ(run.status, c.status) << run.memcheck;
    EXPECT_EQ(run.out.substr(0, 13), "hello world.\n") << run.out;
    EXPECT_EQ(test::own_lines(run.out), "hello world.\n");
    EXPECT_EQ(test::own_lines(run.err), c.own_err) << "whole standard error:\n" << run.err;
    if (c.encoded != nullptr) {
        EXPECT_EQ(test::encoded(), c.encoded);
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
        case Output::kNormalStream:
        case Output::kFramesBefore: {
            std::string input = test::read_file(input_path());
            if (c.output == Output::kFramesBefore) {
                input.resize((test::frames_encoded() - 1) * test::kFrameSize);
            }
            EXPECT_TRUE(test::read_file(output) == test::reference_stream(input))
                << "the streams differ";
            break;
        }
    }
}

// Under memcheck every exit path must also end with no memory error and nothing left allocated.
INSTANTIATE_TEST_SUITE_P(Cases, ProgramRun,
                         testing::Combine(testing::ValuesIn(kCases),
                                          testing::ValuesIn(test::available_runners())),
                         [](const testing::TestParamInfo<ProgramRun::ParamType> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    test::suffix(std::get<1>(info.param));
                         });

// Any argument but --help or --version alone is refused: no file is read, written or emptied,
// though a finished stream waits to be overwritten and no input is there.
TEST(Arguments, TouchNoFile) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char *out_starts;
        const char *err_starts;
    } ways[] = {{{"--help"}, 0, "Usage: yuv2h264 ", ""},
                {{"--version"}, 0, "yuv2h264 1.", ""},
                {{"myclip.yuv"}, 2, "", "yuv2h264: unexpected argument 'myclip.yuv'\nUsage: "},
                {{"--help", "--version"}, 2, "", "yuv2h264: unexpected argument '--version'\n"}};
    for (const auto &way : ways) {
        SCOPED_TRACE(way.arguments[0]);
        test::reset_test_dir();
        test::write_file(output_path(), "a finished stream");
        const test::Run run = test::run_program({.arguments = way.arguments});

        EXPECT_EQ(run.status, way.status);
        EXPECT_EQ(run.out.rfind(way.out_starts, 0), 0U) << run.out;
        EXPECT_EQ(run.err.rfind(way.err_starts, 0), 0U) << run.err;
        EXPECT_EQ(test::read_file(output_path()), "a finished stream");
    }
}

// On a terminal, a status line from the first frame on, rewritten in place; after the library's
// closing lines, a summary, then the stop's message if one came; a failure's message on a clean
// line, and no summary. (Files and pipes get none of it: the table above.)
TEST(Terminal, ShowsProgressThenASummary) {
    const struct {
        const char *fault;
        int status;
        const char *summary;  // how the line after the library's starts; null: none
        const char *then = "";
    } ways[] = {
        {"", 0, "Encoded 6 frames in "},
        {"raise:2@encode:2", 128 + SIGINT, "Stopped: 3 whole frames in ", "Encoding interrupted\n"},
        {"encode:1", kFailed, nullptr},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.fault);
        test::reset_test_dir();
        test::write_file(input_path(), test::moving_frames(6));
        const test::Run run = test::run_program(
            {.environment = test::fault_shim(way.fault), .streams = test::Streams::kTerminal});
        const std::string shown = test::screen(run.err);

        EXPECT_EQ(run.status, way.status);
        EXPECT_NE(run.err.find("\r\033[Kframe 1 of 6 (16%), "), std::string::npos) << run.err;
        if (way.summary == nullptr) {
            EXPECT_EQ(test::own_lines(shown), "hello world.\nFailed to encode frame\n");
            continue;
        }
        const std::string after_library = shown.substr(shown.find('\n', shown.rfind("x264 [")) + 1);
        EXPECT_EQ(after_library.rfind(way.summary, 0), 0U) << shown;
        EXPECT_EQ(after_library.substr(after_library.find('\n') + 1), way.then) << shown;
    }
}

}  // namespace
