#include "encoder_settings.h"

#include <cstdint>  // x264.h needs the fixed-width integer types first

#include <x264.h>

namespace {

constexpr char kPreset[] = "medium";
constexpr char kTune[] = "zerolatency";
constexpr char kProfile[] = "high";
constexpr int kBitDepth = 8;
constexpr int kFpsNum = 25;
constexpr int kFpsDen = 1;

}  // namespace

void configure_encoder(x264_param_t &param) {
    // With these constant arguments both calls describe a valid 8-bit 4:2:0 setup; opening the
    // encoder is the one check of the final parameters.
    (void)x264_param_default_preset(&param, kPreset, kTune);
    param.i_bitdepth = kBitDepth;
    param.i_csp = X264_CSP_I420;
    param.i_width = kWidth;
    param.i_height = kHeight;
    param.i_fps_num = kFpsNum;
    param.i_fps_den = kFpsDen;
    (void)x264_param_apply_profile(&param, kProfile);
}
