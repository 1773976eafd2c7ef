#pragma once

#include <cstdint>
#include <cstdio>

struct x264_picture_t;

// Reads one raw frame of 8-bit planar YUV 4:2:0 (the Y plane, then U, then V, each row after row
// with nothing between rows, and nothing between frames) straight into the three planes of
// `picture`, which must hold at least width*height, width*height/4 and width*height/4 bytes.
//
// Returns 0 when all three planes were read in full and -1 as soon as one read comes up short:
// at the end of the input and on a read error alike (std::ferror on the stream tells them apart).
// After a short read, the planes read in full hold the new frame, the short one holds the bytes
// that did arrive followed by the previous frame's, and the planes not reached are untouched.
[[nodiscard]] int read_i420_frame(std::FILE *stream, x264_picture_t *picture, int32_t width,
                                  int32_t height);
