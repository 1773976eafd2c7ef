// The program as a process: its start line, messages, exit statuses and what it leaves in the
// output file, for every way a run can end.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <tuple>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::fault_shim;
using test::input_path;
using test::output_path;

enum class Output { kEmpty, kNotEmpty, kDirectory };

struct Case {
    const char *name;
    void (*prepare)();
    const char *fault;  // the libx264 call made to fail, if any
    int status;
    const char *own_err;
    Output output;
    const char *encoded;  // the timestamps handed to the encoder, one per line
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

void full_disk_output() {
    fs::create_symlink("/dev/full", output_path());
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
    // A detailed frame overflows the stream's buffer, so its payload write itself fails and
    // the run stops there...
    {"DiskFullWhileWriting",
     [] {
         test::write_file(input_path(), test::moving_frames(4));
         full_disk_output();
     },
     "", test::kFailureStatus, "Failed to write output file\n", Output::kNotEmpty, "0\n"},
    // ...while one flat frame fits in it, and only the flush at close can fail.
    {"DiskFullWhenClosing",
     [] {
         test::write_file(input_path(), test::flat_frames(1));
         full_disk_output();
     },
     "", test::kFailureStatus, "Failed to write output file\n", Output::kNotEmpty, "0\n"},
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
    const fs::path log = test::work_path("pts.log");

    const std::string environment = fault_shim("YUV2H264_FAULT='" + std::string(c.fault) +
                                               "' YUV2H264_PTS_LOG='" + log.string() + "'");

    const test::Run run = test::run_program(environment, runner);

    EXPECT_EQ(run.status, c.status) << run.memcheck;
    EXPECT_EQ(run.out, "hello world.\n");
    EXPECT_EQ(run.own_err(), c.own_err) << "whole standard error:\n" << run.err;
    const fs::path output = output_path();
    switch (c.output) {
        case Output::kEmpty:
            ASSERT_TRUE(fs::is_regular_file(output));
            EXPECT_EQ(fs::file_size(output), 0U);
            break;
        case Output::kNotEmpty:
            ASSERT_TRUE(fs::exists(output));
            if (fs::is_regular_file(output)) {
                EXPECT_GT(fs::file_size(output), 0U);
            }
            break;
        case Output::kDirectory:
            EXPECT_TRUE(fs::is_directory(output));
            break;
    }
    EXPECT_EQ(fs::exists(log) ? test::read_file(log) : "", c.encoded);
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

}  // namespace
