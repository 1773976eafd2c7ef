#pragma once

#include <cstdio>

struct x264_nal_t;

// Appends the payloads of `nal_count` NAL units to `output` in order, exactly as the encoder
// delivered them and straight from its buffers. Returns 0, or -1 at the first short write.
[[nodiscard]] int write_nals(const x264_nal_t *nals, int nal_count, std::FILE *output);
