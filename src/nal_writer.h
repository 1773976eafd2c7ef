#pragma once

#include <cstdio>

struct x264_nal_t;

// Appends the payloads of `nal_count` NAL units to `output` in order, exactly as the encoder
// delivered them and straight from its buffers. Returns 0, or -1 at the first failed write.
// `output` must be unbuffered (see claim_output): only then does every byte that a write reports
// written reach the file, so that a write cut short by a signal can go on where it stopped.
[[nodiscard]] int write_nals(const x264_nal_t *nals, int nal_count, std::FILE *output);
