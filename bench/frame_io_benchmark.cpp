// Per-frame costs of what yuv2h264 does around the encoder (reading a frame into the encoder's
// picture, writing the NAL units it returns) next to the encoder's own time on the same frames.
//
// Usage: frame_io_benchmark [--benchmark_...] CLIP OUTPUT
//   CLIP    whole raw 352x288 I420 frames, as the program reads them
//   OUTPUT  a scratch file that the write benchmark truncates and fills, as the program does

#include <cstdint>  // x264.h needs the fixed-width integer types first

#include <x264.h>

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

#include "encoder_settings.h"
#include "frame_reader.h"
#include "nal_writer.h"
#include "output_claim.h"

namespace {

using Encoder = std::unique_ptr<x264_t, decltype(&x264_encoder_close)>;
using Stream = std::vector<std::vector<x264_nal_t>>;  // each frame's NAL units, in order

// The program's settings; only the library's log is silenced, to keep the report readable.
[[nodiscard]] Encoder open_encoder() {
    x264_param_t param;
    configure_encoder(param);
    param.i_log_level = X264_LOG_NONE;
    return Encoder(x264_encoder_open(&param), &x264_encoder_close);
}

// The clip's whole frames, back to back; empty when it cannot be read or holds no whole frame.
[[nodiscard]] std::vector<uint8_t> load_clip(const char *path) {
    std::vector<uint8_t> clip;
    std::FILE *input = std::fopen(path, "rb");
    if (input == nullptr) {
        return clip;
    }
    std::vector<uint8_t> frame(kFrameBytes);
    while (std::fread(frame.data(), 1, kFrameBytes, input) == kFrameBytes) {
        clip.insert(clip.end(), frame.begin(), frame.end());
    }
    if (std::ferror(input) != 0) {
        clip.clear();
    }
    (void)std::fclose(input);
    return clip;
}

[[nodiscard]] std::size_t frame_count(const std::vector<uint8_t> &clip) {
    return clip.size() / kFrameBytes;
}

// A picture over one frame of the clip in memory: the encoder copies its input, so the encode
// benchmark times the encoder alone, not a read.
[[nodiscard]] x264_picture_t clip_picture(std::vector<uint8_t> &clip, std::size_t frame,
                                          int64_t pts) {
    x264_picture_t picture;
    x264_picture_init(&picture);
    uint8_t *luma = clip.data() + frame * kFrameBytes;
    picture.img.i_csp = X264_CSP_I420;
    picture.img.i_plane = 3;
    picture.img.plane[0] = luma;
    picture.img.plane[1] = luma + kLumaBytes;
    picture.img.plane[2] = luma + kLumaBytes + kChromaBytes;
    picture.img.i_stride[0] = kWidth;
    picture.img.i_stride[1] = kWidth / 2;
    picture.img.i_stride[2] = kWidth / 2;
    picture.i_pts = pts;
    return picture;
}

// Encodes the clip once and keeps every frame's NAL units. The encoder reuses its buffers on the
// next call, so the payloads are copied into `payloads` and the kept units point there.
[[nodiscard]] bool capture_stream(std::vector<uint8_t> &clip,
                                  std::vector<std::vector<uint8_t>> &payloads, Stream &stream) {
    Encoder encoder = open_encoder();
    if (!encoder) {
        return false;
    }
    const std::size_t frames = frame_count(clip);
    payloads.assign(frames, {});
    stream.assign(frames, {});
    x264_picture_t picture_out;
    x264_picture_init(&picture_out);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        x264_picture_t picture = clip_picture(clip, frame, static_cast<int64_t>(frame));
        x264_nal_t *nals = nullptr;
        int nal_count = 0;
        if (x264_encoder_encode(encoder.get(), &nals, &nal_count, &picture, &picture_out) < 0) {
            return false;
        }
        for (int i = 0; i < nal_count; ++i) {
            payloads[frame].insert(payloads[frame].end(), nals[i].p_payload,
                                   nals[i].p_payload + nals[i].i_payload);
            stream[frame].push_back(nals[i]);
        }
        // Repointed only now that this frame's bytes have stopped moving.
        uint8_t *payload = payloads[frame].data();
        for (x264_nal_t &nal : stream[frame]) {
            nal.p_payload = payload;
            payload += nal.i_payload;
        }
    }
    return true;
}

// (a) One frame from a real file into an x264-allocated picture; the clip restarts at its end.
void read_frame(benchmark::State &state, const char *clip_path) {
    std::FILE *input = std::fopen(clip_path, "rb");
    if (input == nullptr) {
        state.SkipWithError("cannot open the clip");
        return;
    }
    x264_picture_t picture;
    if (x264_picture_alloc(&picture, X264_CSP_I420, kWidth, kHeight) != 0) {
        state.SkipWithError("cannot allocate a picture");
        (void)std::fclose(input);
        return;
    }
    for (auto _ : state) {
        if (read_i420_frame(input, &picture, kWidth, kHeight) != 0) {
            std::rewind(input);
            if (read_i420_frame(input, &picture, kWidth, kHeight) != 0) {
                state.SkipWithError("cannot read a frame");
                break;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFrameBytes));
    state.SetItemsProcessed(state.iterations());
    x264_picture_clean(&picture);
    (void)std::fclose(input);
}

// (b) One frame's units to the output, opened as the program opens it; after each whole stream
// it is opened again, truncating it as every run of the program does, so it never outgrows one
// stream.
void write_frame(benchmark::State &state, const Stream &stream, const char *output_path) {
    std::FILE *output = claim_output(output_path, nullptr);
    if (output == nullptr) {
        state.SkipWithError("cannot create the output");
        return;
    }
    std::size_t frame = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        const std::vector<x264_nal_t> &nals = stream[frame];
        if (write_nals(nals.data(), static_cast<int>(nals.size()), output) != 0) {
            state.SkipWithError("cannot write the output");
            break;
        }
        for (const x264_nal_t &nal : nals) {
            bytes += nal.i_payload;
        }
        if (++frame == stream.size()) {
            frame = 0;
            const bool closed = std::fclose(output) == 0;
            output = claim_output(output_path, nullptr);
            if (!closed || output == nullptr) {
                state.SkipWithError("cannot rewrite the output");
                break;
            }
        }
    }
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(state.iterations());
    if (output != nullptr) {
        (void)std::fclose(output);
    }
}

// (c) The encoder alone on the clip's frames, in order, timestamps 0, 1, 2, ... as the program
// stamps them. A fresh encoder per run, so each run encodes the clip from its first frame.
void encode_frame(benchmark::State &state, std::vector<uint8_t> &clip) {
    Encoder encoder = open_encoder();
    if (!encoder) {
        state.SkipWithError("cannot open the encoder");
        return;
    }
    const std::size_t frames = frame_count(clip);
    x264_picture_t picture_out;
    x264_picture_init(&picture_out);
    x264_nal_t *nals = nullptr;
    int nal_count = 0;
    int64_t pts = 0;
    for (auto _ : state) {
        x264_picture_t picture = clip_picture(clip, static_cast<std::size_t>(pts) % frames, pts);
        if (x264_encoder_encode(encoder.get(), &nals, &nal_count, &picture, &picture_out) < 0) {
            state.SkipWithError("cannot encode a frame");
            break;
        }
        ++pts;
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 3) {
        (void)std::fputs("usage: frame_io_benchmark [--benchmark_...] CLIP OUTPUT\n", stderr);
        return 2;
    }
    const char *clip_path = argv[1];
    const char *output_path = argv[2];

    std::vector<uint8_t> clip = load_clip(clip_path);
    if (clip.empty()) {
        (void)std::fputs("frame_io_benchmark: no whole 352x288 frame could be read from the clip\n",
                         stderr);
        return 1;
    }
    std::vector<std::vector<uint8_t>> payloads;
    Stream stream;
    if (!capture_stream(clip, payloads, stream)) {
        (void)std::fputs("frame_io_benchmark: cannot encode the clip\n", stderr);
        return 1;
    }

    benchmark::RegisterBenchmark(
        "read_frame", [clip_path](benchmark::State &state) { read_frame(state, clip_path); })
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    // To a real file as the program writes, so the kernel's copy into the page cache counts;
    // /dev/null beside it shows how much of that is stdio alone.
    benchmark::RegisterBenchmark("write_frame/file",
                                 [&stream, output_path](benchmark::State &state) {
                                     write_frame(state, stream, output_path);
                                 })
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(
        "write_frame/dev_null",
        [&stream](benchmark::State &state) { write_frame(state, stream, "/dev/null"); })
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    // One pass over the clip per run, as the program encodes it: one IDR frame, then P frames.
    // Real time, since the encoder spreads each frame's slices over threads.
    benchmark::RegisterBenchmark("encode_frame",
                                 [&clip](benchmark::State &state) { encode_frame(state, clip); })
        ->Iterations(static_cast<benchmark::IterationCount>(frame_count(clip)))
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
