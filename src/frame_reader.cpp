#include "frame_reader.h"

#include <x264.h>

#include <cstddef>
#include <limits>

namespace {

// One block read straight into the encoder's buffer: no staging copy, no per-row loop.
[[nodiscard]] int read_plane(std::FILE *stream, uint8_t *plane, int32_t size) {
    const auto wanted = static_cast<std::size_t>(size);
    return std::fread(plane, 1, wanted, stream) == wanted ? 0 : -1;
}

}  // namespace

int read_i420_frame(std::FILE *stream, x264_picture_t *picture, int32_t width, int32_t height) {
    // A geometry whose byte count cannot be represented would read a wrong amount.
    if (width <= 0 || height <= 0 || width > std::numeric_limits<int32_t>::max() / height) {
        return -1;
    }
    const int32_t luma_size = width * height;
    const int32_t chroma_size = luma_size / 4;

    if (read_plane(stream, picture->img.plane[0], luma_size) != 0) {
        return -1;
    }
    if (read_plane(stream, picture->img.plane[1], chroma_size) != 0) {
        return -1;
    }
    return read_plane(stream, picture->img.plane[2], chroma_size);
}
