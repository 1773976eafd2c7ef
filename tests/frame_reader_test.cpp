#include "frame_reader.h"

#include <x264.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// A tiny geometry keeps every byte checkable: 32 luma bytes and 8 per chroma plane.
constexpr int kWidth = 8;
constexpr int kHeight = 4;
constexpr long kLuma = long{kWidth} * kHeight;
constexpr long kChroma = kLuma / 4;
constexpr long kFrame = kLuma + 2 * kChroma;
constexpr unsigned char kStale = 0xEE;

// Exactly sized planes, so that a read past a plane's end is caught by the sanitizers.
struct Planes {
    std::vector<uint8_t> y = std::vector<uint8_t>(kLuma, kStale);
    std::vector<uint8_t> u = std::vector<uint8_t>(kChroma, kStale);
    std::vector<uint8_t> v = std::vector<uint8_t>(kChroma, kStale);
    x264_picture_t picture{};

    Planes() {
        picture.img.plane[0] = y.data();
        picture.img.plane[1] = u.data();
        picture.img.plane[2] = v.data();
    }
    std::vector<uint8_t> all() const {
        std::vector<uint8_t> bytes(y);
        bytes.insert(bytes.end(), u.begin(), u.end());
        bytes.insert(bytes.end(), v.begin(), v.end());
        return bytes;
    }
};

// Frame n's bytes: distinct across frames and across positions within a frame.
std::vector<uint8_t> frame_bytes(int n) {
    std::vector<uint8_t> bytes(kFrame);
    for (long i = 0; i < kFrame; ++i) {
        bytes[i] = static_cast<uint8_t>(n * 64L + i);
    }
    return bytes;
}

std::FILE *stream_of(const std::vector<uint8_t> &bytes) {
    std::FILE *stream = std::tmpfile();
    if (stream != nullptr && !bytes.empty()) {
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), stream), bytes.size());
        std::rewind(stream);
    }
    return stream;
}

// Whole frames in order, then the end of the input, which may cut a frame short: the bytes that
// arrived of it land at the start of the planes in order, the rest keep the previous frame (or
// what the planes held), and the whole tail is consumed.
TEST(ReadI420Frame, ReadsWholeFramesThenStopsAtTheEndOrInsideAFrame) {
    const struct {
        const char *input;
        int whole;  // frames
        long tail;  // bytes of the next frame
    } inputs[] = {
        {"empty", 0, 0},
        {"two whole frames", 2, 0},
        {"cut in Y", 1, 10},
        {"cut at the end of Y", 1, kLuma},
        {"cut in U", 1, kLuma + 3},
        {"cut at the end of U", 1, kLuma + kChroma},
        {"cut in V", 1, kLuma + kChroma + 5},
        {"one byte short", 1, kFrame - 1},
    };
    for (const auto &in : inputs) {
        SCOPED_TRACE(in.input);
        std::vector<uint8_t> bytes;
        for (int n = 0; n <= in.whole; ++n) {
            const std::vector<uint8_t> frame = frame_bytes(n);
            bytes.insert(bytes.end(), frame.begin(),
                         frame.begin() + (n < in.whole ? kFrame : in.tail));
        }
        std::FILE *stream = stream_of(bytes);
        ASSERT_NE(stream, nullptr);
        Planes planes;
        std::vector<uint8_t> expected(kFrame, kStale);
        for (int n = 0; n < in.whole; ++n) {
            ASSERT_EQ(read_i420_frame(stream, &planes.picture, kWidth, kHeight), 0);
            expected = frame_bytes(n);
            EXPECT_EQ(planes.all(), expected);
        }

        EXPECT_EQ(read_i420_frame(stream, &planes.picture, kWidth, kHeight), -1);

        // Planes are contiguous in this model, so "arrived bytes first" is one prefix.
        const std::vector<uint8_t> cut_frame = frame_bytes(in.whole);
        std::copy(cut_frame.begin(), cut_frame.begin() + in.tail, expected.begin());
        EXPECT_EQ(planes.all(), expected);
        EXPECT_EQ(std::ftell(stream), in.whole * kFrame + in.tail);
        EXPECT_TRUE(std::feof(stream));
        EXPECT_FALSE(std::ferror(stream));
        std::fclose(stream);
    }
}

TEST(ReadI420Frame, RejectsGeometryWhoseSizeCannotBeRepresented) {
    const struct {
        int width;
        int height;
    } geometries[] = {
        {0, kHeight}, {kWidth, 0}, {-kWidth, kHeight}, {kWidth, -kHeight}, {65536, 65536}};
    for (const auto &geometry : geometries) {
        SCOPED_TRACE(testing::Message() << geometry.width << "x" << geometry.height);
        std::FILE *stream = stream_of(frame_bytes(0));
        ASSERT_NE(stream, nullptr);
        Planes planes;
        EXPECT_EQ(read_i420_frame(stream, &planes.picture, geometry.width, geometry.height), -1);
        EXPECT_EQ(std::ftell(stream), 0);
        std::fclose(stream);
    }
}

// The reader fills each plane as one block, which is only right while the library packs an
// 8-bit I420 picture without padding between rows.
TEST(ReadI420Frame, LibraryPicturesArePackedAsTheReaderAssumes) {
    constexpr int width = 352;
    constexpr int height = 288;
    x264_picture_t picture;
    ASSERT_EQ(x264_picture_alloc(&picture, X264_CSP_I420, width, height), 0);
    EXPECT_EQ(picture.img.i_plane, 3);
    EXPECT_EQ(picture.img.i_stride[0], width);
    EXPECT_EQ(picture.img.i_stride[1], width / 2);
    EXPECT_EQ(picture.img.i_stride[2], width / 2);

    std::vector<uint8_t> frame(width * height * 3 / 2);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(i * 7 + i / 352);
    }
    std::FILE *stream = stream_of(frame);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_i420_frame(stream, &picture, width, height), 0);
    constexpr long luma = long{width} * height;
    const uint8_t *in = frame.data();
    EXPECT_TRUE(std::equal(in, in + luma, picture.img.plane[0]));
    in += luma;
    EXPECT_TRUE(std::equal(in, in + luma / 4, picture.img.plane[1]));
    in += luma / 4;
    EXPECT_TRUE(std::equal(in, in + luma / 4, picture.img.plane[2]));
    std::fclose(stream);
    x264_picture_clean(&picture);
}

}  // namespace
