#pragma once

// Runs the program under test as a process, started in a fresh directory of the test's own, and
// makes the raw frames it reads.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "encoder_settings.h"

namespace test {

constexpr std::size_t kFrameSize = kFrameBytes;
// main's -1 as the parent process sees it.
constexpr int kFailureStatus = 255;

// The current test's directory, <build>/tests/work/<suite>.<test>, which the program is started in.
std::filesystem::path test_dir();
// Empties it, so that each case starts clean.
void reset_test_dir();
std::filesystem::path input_path();
std::filesystem::path output_path();

struct Run {
    int status;       // exit status, 128 + the signal that ended it, or -1 if it hung
    std::string out;  // standard output
    std::string err;  // standard error, the library's own log lines included; on a
                      // terminal, all it received that the test had not read

    std::string memcheck;  // memcheck's report, when it ran
};
// How the program is run: as it is, or under valgrind's memcheck, which turns any memory error
// and any block left allocated at exit into exit status kMemcheckStatus.
enum class Runner { kPlain, kMemcheck };
constexpr int kMemcheckStatus = 99;
// The runners this build can use: memcheck cannot watch a sanitized build.
std::vector<Runner> available_runners();
// Whether the program runs under an emulator: a cross build's, under qemu-user.
bool emulated();
// For a fixture's SetUp: skips the test, saying why, when this build cannot use `runner`.
void skip_unless_usable(Runner runner);
// "UnderMemcheck" or `plain`, for the names of parameterized tests.
std::string suffix(Runner runner, const char *plain = "");

// The program's builds in tests/CMakeLists.txt; each takes its data directory from where it is
// started, which the tests link to their own directory. The second one's name holds a quote, a
// backslash, a space and a letter outside ASCII.
enum class Build { kWorkingDirectory, kOddlyNamedDirectory };
// Standard input is /dev/null and the others go to files, unless closed or joined, or all three
// are a terminal of the test's own, which the run takes as its controlling one.
enum class Streams { kFiles, kInputAndErrorClosed, kErrorToOutput, kTerminal };

struct Launch {
    std::vector<std::string> arguments{};    // after the program's name
    std::vector<std::string> environment{};  // NAME=value entries added to the program's
    Runner runner = Runner::kPlain;
    Streams streams = Streams::kFiles;
    rlim_t file_size_limit = RLIM_INFINITY;   // in bytes
    rlim_t descriptor_limit = RLIM_INFINITY;  // open files at once
    int blocked_signal = 0;                   // blocked when it starts, as a parent may leave it
    int ignored_signal = 0;                   // ignored when it starts, as nohup leaves SIGHUP
    Build build = Build::kWorkingDirectory;
};

// Runs the program to its end, killing it (status -1) if it has not ended within two minutes.
Run run_program(const Launch &launch = {});
// What a plain run writes for `input`, in a directory of its own.
std::string reference_stream(const std::string &input);

// A run that goes on while the test acts on it, and is meant to end by a signal: glibc's own
// caches (thread stacks, the stdout buffer) then stay unfreed, so under memcheck only memory
// errors and blocks that nothing points to count.
struct Started {
    pid_t pid;
    int terminal = -1;  // the terminal's other end, which the test types on and reads
};
Started start_program(const Launch &launch = {});
// Whether the run has not ended yet; it stays to be finished.
bool running(const Started &started);
// Waits up to `seconds` for the run to end, then kills it (status -1).
Run finish(const Started &started, double seconds);
// Whether `signal` is still waiting to be taken by the run.
bool pending(const Started &started, int signal);
// The lines a terminal shows for `output`: each as its last rewrite left it.
std::string screen(const std::string &output);

// Runs a command in the test's directory, its output to files there: its exit status, 128 + the
// signal that ended it, or -1 when it had not ended within two minutes.
int command(const std::vector<std::string> &args);

// The program's own lines of `text`, without the library's "x264 [...]" ones.
std::string own_lines(const std::string &text);
// The environment that preloads the library failing `fault` or raising a signal (see
// x264_fault_shim.cpp), and logs the timestamps the program encodes to the test's directory.
std::vector<std::string> fault_shim(const std::string &fault);
// Those timestamps, one a line, and how many.
std::string encoded();
int frames_encoded();

// `count` frames of a pattern that moves and carries fine detail, so every frame costs bits.
std::string moving_frames(int count);
// `count` frames of noise, which the encoder cannot shrink.
std::string noise_frames(int count);
// `count` frames of flat mid grey: the smallest stream the encoder makes.
std::string flat_frames(int count);

std::string read_file(const std::filesystem::path &path);
void write_file(const std::filesystem::path &path, const std::string &bytes);

}  // namespace test
