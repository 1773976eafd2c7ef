#include "test_support.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

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

void reset_files() {
    for (const char *dir : {YUV2H264_TEST_DATA_DIR, YUV2H264_TEST_WORK_DIR}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
}

std::string Run::own_err() const {
    std::istringstream lines(err);
    std::string own;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("x264 [", 0) != 0) {
            own += line + "\n";
        }
    }
    return own;
}

int shell(const std::string &command) {
    const int result = std::system(command.c_str());
    return result != -1 && WIFEXITED(result) ? WEXITSTATUS(result) : -1;
}

std::vector<Runner> available_runners() {
    constexpr bool sanitized = YUV2H264_TEST_SANITIZED;
    if (sanitized) {
        return {Runner::kPlain};
    }
    return {Runner::kPlain, Runner::kMemcheck};
}

Run run_program(const std::string &environment, Runner runner) {
    const fs::path out = work_path("stdout");
    const fs::path err = work_path("stderr");
    const fs::path memcheck = work_path("memcheck.log");
    std::string wrapper;
    if (runner == Runner::kMemcheck) {
        if (!fs::exists(YUV2H264_TEST_VALGRIND)) {
            throw std::runtime_error("valgrind is needed to run the program under memcheck");
        }
        wrapper = "'" YUV2H264_TEST_VALGRIND "' --quiet --error-exitcode=" +
                  std::to_string(kMemcheckStatus) +
                  " --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all"
                  " --log-file='" +
                  memcheck.string() + "'";
    }
    Run run;
    run.status = shell(environment + " " + wrapper + " '" YUV2H264_TEST_PROGRAM "' >'" +
                       out.string() + "' 2>'" + err.string() + "' </dev/null");
    run.out = read_file(out);
    run.err = read_file(err);
    run.memcheck = fs::exists(memcheck) ? read_file(memcheck) : "";
    return run;
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
