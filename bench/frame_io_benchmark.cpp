// Per-frame costs of the program's loop, step by step, with its own functions and settings: each
// run reads, encodes and writes every frame of CLIP once, as the program does, to OUTPUT (claimed
// as the program claims its output, so the kernel's copy into the page cache counts) or /dev/null.

#include <cstdint>  // x264.h needs the fixed-width integer types first

#include <x264.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "encoder_settings.h"
#include "frame_reader.h"
#include "nal_writer.h"
#include "output_claim.h"

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;
using Encoder = std::unique_ptr<x264_t, decltype(&x264_encoder_close)>;
constexpr auto close_file = [](std::FILE *file) { (void)std::fclose(file); };
using File = std::unique_ptr<std::FILE, decltype(close_file)>;

// A fresh encoder, input and output per run, as the program opens them. Wall-clock times: the
// encoder spreads a frame over threads.
void frame_loop(benchmark::State &state, const char *clip_path, const char *output_path) {
    x264_param_t param;
    configure_encoder(param);
    param.i_log_level = X264_LOG_NONE;  // keeps the report readable
    const Encoder encoder(x264_encoder_open(&param), &x264_encoder_close);
    const File input(std::fopen(clip_path, "rb"));
    const File output(claim_output(output_path, nullptr));
    x264_picture_t picture;
    if (!encoder || !input || !output ||
        x264_picture_alloc(&picture, param.i_csp, param.i_width, param.i_height) != 0) {
        state.SkipWithError("cannot open the encoder, the clip or the output, or allocate");
        return;
    }
    x264_picture_t picture_out;
    x264_picture_init(&picture_out);
    x264_nal_t *nals = nullptr;
    int nal_count = 0;
    int64_t pts = 0;
    Micros read{};
    Micros encode{};
    Micros write{};
    for (auto _ : state) {
        const auto start = Clock::now();
        if (read_i420_frame(input.get(), &picture, kWidth, kHeight) != 0) {
            state.SkipWithError("cannot read a frame");
            break;
        }
        const auto read_end = Clock::now();
        picture.i_pts = pts++;
        const int encoded =
            x264_encoder_encode(encoder.get(), &nals, &nal_count, &picture, &picture_out);
        const auto encode_end = Clock::now();
        if (encoded < 0 || write_nals(nals, nal_count, output.get()) != 0) {
            state.SkipWithError("cannot encode the frame or write it");
            break;
        }
        read += read_end - start;
        encode += encode_end - read_end;
        write += Clock::now() - encode_end;
    }
    x264_picture_clean(&picture);
    state.counters["read_us"] = {read.count(), benchmark::Counter::kAvgIterations};
    state.counters["encode_us"] = {encode.count(), benchmark::Counter::kAvgIterations};
    state.counters["write_us"] = {write.count(), benchmark::Counter::kAvgIterations};
    state.counters["share"] = 100 * (read + write) / encode;  // per cent, reading and writing
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    std::error_code error;
    const auto frames = argc == 3 ? std::filesystem::file_size(argv[1], error) / kFrameBytes : 0;
    if (error || frames == 0) {
        (void)std::fputs("usage: frame_io_benchmark [--benchmark_...] CLIP OUTPUT\n", stderr);
        return 2;
    }
    const auto pass = static_cast<benchmark::IterationCount>(frames);  // one per run
    benchmark::RegisterBenchmark("file", frame_loop, argv[1], argv[2])->Iterations(pass);
    benchmark::RegisterBenchmark("dev_null", frame_loop, argv[1], "/dev/null")->Iterations(pass);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
