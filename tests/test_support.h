#pragma once

// Runs the program under test as a process against a data directory of the tests' own, and
// makes the raw frames it reads.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "encoder_settings.h"

namespace test {

using ::kHeight;
using ::kWidth;
constexpr std::size_t kFrameSize = kFrameBytes;
// main's -1 as the parent process sees it.
constexpr int kFailureStatus = 255;

std::filesystem::path input_path();
std::filesystem::path output_path();
// A scratch directory of the tests, apart from the program's data directory.
std::filesystem::path work_path(const std::string &name);
// Empties the data directory (and the scratch directory) so that each case starts clean.
void reset_files();

struct Run {
    int status;            // exit status, 128 + the signal that ended it, or -1 if it hung
    std::string out;       // standard output
    std::string err;       // standard error, the library's own log lines included
    std::string memcheck;  // memcheck's report, when it ran
};
// How the program is run: as it is, or under valgrind's memcheck, which turns any memory error
// and any block left allocated at exit into exit status kMemcheckStatus.
enum class Runner { kPlain, kMemcheck };
constexpr int kMemcheckStatus = 99;
// The runners this build can use: memcheck cannot watch a sanitized build.
std::vector<Runner> available_runners();

// The program built with the tests' data directory, or with "." and started in that directory.
enum class Build { kDataDirectory, kWorkingDirectory };

struct Launch {
    std::string environment{};  // NAME=value words put before the program
    Runner runner = Runner::kPlain;
    std::string streams{};  // shell redirections of its standard streams, such as "2>&-"
    std::string limits{};   // ulimit options set for it, such as "-f 100"
    Build build = Build::kDataDirectory;
};

// Runs the program to its end, killing it (status -1) if it has not ended within two minutes.
Run run_program(const Launch &launch = {});

// A run that goes on while the test acts on it, and is meant to end by a signal: glibc's own
// caches (thread stacks, the stdout buffer) then stay unfreed, so under memcheck only memory
// errors and blocks that nothing points to count.
struct Started {
    int pid;
};
Started start_program(const Launch &launch = {});
// Waits up to `seconds` for the run to end, then kills it (status -1).
Run finish(const Started &started, double seconds);
// The program's own lines of `text`, without the library's "x264 [...]" ones.
std::string own_lines(const std::string &text);
// The library preloaded to fail one libx264 call, raise a stop signal or log timestamps; see
// x264_fault_shim.cpp.
std::string fault_shim(const std::string &settings);

// `count` frames of a pattern that moves and carries fine detail, so every frame costs bits.
std::vector<uint8_t> moving_frames(int count);
// `count` frames of noise, which the encoder cannot shrink: each is a large write.
std::vector<uint8_t> noise_frames(int count);
// `count` frames of flat mid grey: the smallest stream the encoder makes.
std::vector<uint8_t> flat_frames(int count);

// Holds the lock a run of the program takes on its output, until the next reset_files().
void hold_output_lock();

std::string read_file(const std::filesystem::path &path);
void write_file(const std::filesystem::path &path, const std::vector<uint8_t> &bytes);
void write_file(const std::filesystem::path &path, const std::string &text);

// Runs a shell command: its exit status, 128 + the signal that ended it, or -1 when it had not
// ended within two minutes.
int shell(const std::string &command);

}  // namespace test
