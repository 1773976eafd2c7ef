#pragma once

// Runs the program under test as a process against a data directory of the tests' own, and
// makes the raw frames it reads.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace test {

constexpr int kWidth = 352;
constexpr int kHeight = 288;
constexpr std::size_t kFrameSize = kWidth * kHeight * 3 / 2;
// main's -1 as the parent process sees it.
constexpr int kFailureStatus = 255;

std::filesystem::path input_path();
std::filesystem::path output_path();
// A scratch directory of the tests, apart from the program's data directory.
std::filesystem::path work_path(const std::string &name);
// Empties the data directory (and the scratch directory) so that each case starts clean.
void reset_files();

struct Run {
    int status;            // exit status, or -1 when the process did not exit normally
    std::string out;       // standard output
    std::string err;       // standard error, the library's own log lines included
    std::string memcheck;  // memcheck's report, when it ran
    // The program's own lines on standard error, without the library's "x264 [...]" ones.
    std::string own_err() const;
};
// How the program is run: as it is, or under valgrind's memcheck, which turns any memory error
// and any block left allocated at exit into exit status kMemcheckStatus.
enum class Runner { kPlain, kMemcheck };
constexpr int kMemcheckStatus = 99;
// The runners this build can use: memcheck cannot watch a sanitized build.
std::vector<Runner> available_runners();

// `environment` is a list of NAME=value words put before the program.
Run run_program(const std::string &environment = "", Runner runner = Runner::kPlain);
// The library preloaded to fail one libx264 call or log timestamps; see x264_fault_shim.cpp.
std::string fault_shim(const std::string &settings);

// `count` frames of a pattern that moves and carries fine detail, so every frame costs bits.
std::vector<uint8_t> moving_frames(int count);
// `count` frames of flat mid grey: the smallest stream the encoder makes.
std::vector<uint8_t> flat_frames(int count);

std::string read_file(const std::filesystem::path &path);
void write_file(const std::filesystem::path &path, const std::vector<uint8_t> &bytes);
void write_file(const std::filesystem::path &path, const std::string &text);

// Runs a shell command and returns its exit status (-1 when it did not exit normally).
int shell(const std::string &command);

}  // namespace test
