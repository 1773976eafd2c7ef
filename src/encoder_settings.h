#pragma once

// The one definition of the encode: the frame geometry and the libx264 settings that the program
// runs with, shared with the benchmark so that it always times the same encode.

#include <cstddef>

struct x264_param_t;

constexpr int kWidth = 352;
constexpr int kHeight = 288;
// One raw I420 frame: the Y plane, then U and V at a quarter of its size each.
constexpr std::size_t kLumaBytes = std::size_t{kWidth} * kHeight;
constexpr std::size_t kChromaBytes = kLumaBytes / 4;
constexpr std::size_t kFrameBytes = kLumaBytes + 2 * kChromaBytes;

// Fills `param` with preset "medium", tuning "zerolatency", 8-bit I420 at the geometry above,
// 25 frames per second, then profile "high"; every other field keeps the preset's value.
void configure_encoder(x264_param_t &param);
