// The stream itself, judged by ffmpeg as an independent decoder: what comes out of decoding it
// must be every whole frame that went in, at the right format and close to the input.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWholeFrames = 12;
constexpr char kFfmpeg[] = YUV2H264_TEST_FFMPEG;
constexpr char kFfprobe[] = YUV2H264_TEST_FFPROBE;

// Mean squared error over all three planes of one frame, as peak signal to noise in dB.
double frame_psnr(const std::string &a, const std::string &b, std::size_t frame) {
    double squared_error = 0;
    for (std::size_t i = frame * test::kFrameSize; i < (frame + 1) * test::kFrameSize; ++i) {
        const double difference =
            static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
        squared_error += difference * difference;
    }
    const double mse = squared_error / test::kFrameSize;
    return mse == 0 ? 100.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// An encode of a real clip, as each case sees it. (A partial last frame is the program table's
// and the frame reader's to test.)
class EncodedStream : public testing::Test {
protected:
    void SetUp() override {
        test::reset_test_dir();
        ASSERT_TRUE(fs::exists(kFfmpeg) && fs::exists(kFfprobe))
            << "ffmpeg and ffprobe are needed to check the stream; install Debian's ffmpeg";
        ASSERT_EQ(test::command({kFfmpeg, "-v", "error", "-f", "lavfi", "-i",
                                 "testsrc2=size=352x288:rate=25", "-frames:v",
                                 std::to_string(kWholeFrames), "-pix_fmt", "yuv420p", "-f",
                                 "rawvideo", "-y", "clip.yuv"}),
                  0);
        whole_frames_ = test::read_file(test::test_dir() / "clip.yuv");
        ASSERT_EQ(whole_frames_.size(), kWholeFrames * test::kFrameSize);
        test::write_file(test::input_path(), whole_frames_);

        const test::Run run = test::run_program();
        ASSERT_EQ(run.status, 0) << run.err;
        stream_ = test::read_file(test::output_path());

        ASSERT_EQ(test::command({kFfmpeg, "-v", "error", "-i", "x.h264", "-f", "rawvideo",
                                 "-pix_fmt", "yuv420p", "-y", "decoded.yuv"}),
                  0);
        decoded_ = test::read_file(test::test_dir() / "decoded.yuv");
        ASSERT_EQ(test::command({kFfprobe, "-v", "error", "-count_frames", "-show_entries",
                                 std::string("stream=codec_name,profile,width,height,") +
                                     "pix_fmt,r_frame_rate,nb_read_frames",
                                 "-of", "default=nw=1", "-o", "probe.txt", "x.h264"}),
                  0);
        probe_ = test::read_file(test::test_dir() / "probe.txt");
    }

    std::string whole_frames_;
    std::string stream_;
    std::string decoded_;
    std::string probe_;
};

TEST_F(EncodedStream, DecodesToEveryWholeFrameInTheConfiguredFormat) {
    EXPECT_EQ(decoded_.size(), whole_frames_.size());
    for (const char *line : {"codec_name=h264", "profile=High", "width=352", "height=288",
                             "pix_fmt=yuv420p", "r_frame_rate=25/1", "nb_read_frames=12"}) {
        EXPECT_NE(probe_.find(std::string(line) + "\n"), std::string::npos)
            << line << " missing from:\n"
            << probe_;
    }
}

// CRF 23 keeps this clip near 46 dB (45 at worst); 35 dB leaves room for other builds of the
// library while a frame read into the wrong plane, shifted by a row or taken from the wrong
// place in the file falls below 25 dB.
TEST_F(EncodedStream, EveryFrameIsCloseToItsInput) {
    ASSERT_EQ(decoded_.size(), whole_frames_.size());
    for (std::size_t frame = 0; frame < kWholeFrames; ++frame) {
        EXPECT_GT(frame_psnr(whole_frames_, decoded_, frame), 35.0) << "frame " << frame;
    }
}

// Nothing of the program's own comes first: the stream opens with the encoder's sequence
// parameter set, so it decodes on its own from its first byte.
TEST_F(EncodedStream, BeginsWithTheSequenceParameterSet) {
    EXPECT_EQ(stream_.substr(0, 5), std::string("\0\0\0\1\x67", 5));
}

// The library writes the options it ran with into the stream.
TEST_F(EncodedStream, RecordsThePresetTuningAndProfileItRanWith) {
    const auto start = stream_.find("options: ");
    ASSERT_NE(start, std::string::npos);
    const std::string options = stream_.substr(start, stream_.find('\0', start) - start) + " ";
    // On one CPU (a small board, or qemu-user as CI runs it) the library keeps to one thread,
    // which has no slices to share.
    const bool one_thread = options.find(" threads=1 ") != std::string::npos;
    const struct {
        const char *setting;
        const char *option;
    } expected[] = {
        {"medium: hexagon motion search", "me=hex"},
        {"medium: subpixel refinement 7", "subme=7"},
        {"medium: three reference frames", "ref=3"},
        {"medium: trellis on final macroblocks", "trellis=1"},
        {"zerolatency: no B-frames", "bframes=0"},
        {"zerolatency: threads work on slices",
         one_thread ? "sliced_threads=0" : "sliced_threads=1"},
        {"zerolatency: no macroblock tree", "mbtree=0"},
        {"high: 8x8 transform", "8x8dct=1"},
        {"constant quality", "rc=crf"},
    };
    for (const auto &e : expected) {
        EXPECT_NE(options.find(std::string(" ") + e.option + " "), std::string::npos)
            << e.setting << ": " << e.option << " missing from\n"
            << options;
    }
}

// ffmpeg driving the same library with the same settings is the encode a user would otherwise
// run; the program must not differ from it by a byte.
TEST_F(EncodedStream, MatchesFfmpegEncodingTheSameFrames) {
    if (test::emulated()) {
        GTEST_SKIP() << "ffmpeg runs the build machine's libx264, whose x86 assembly is not "
                        "bit-exact with the emulated target's code; CI pins that stream's hash";
    }
    ASSERT_EQ(test::command({YUV2H264_TEST_PEER, "clip.yuv", "peer.h264"}), 0);
    EXPECT_TRUE(test::read_file(test::test_dir() / "peer.h264") == stream_) << "the streams differ";
}

}  // namespace
