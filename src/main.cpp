// yuv2h264: encodes the raw 352x288 YUV 4:2:0 frames of "yuv_420-352x288.yuv" into the H.264
// byte stream "x.h264", both in the data directory fixed at build time (a relative one is taken
// from the directory the program is started in).
//
// Flow: answer --help and --version, and refuse any other argument, before anything else; guard
// the standard streams; make failed writes fail rather than kill; catch the stop signals; print
// the start line; open the input, then claim the output (never the input itself, nor one another
// run is writing); configure and open the x264 encoder; allocate one input picture; then, for
// every whole frame, read it into the picture, stamp it with its index, encode it and append the
// NAL units the encoder returns, which reach the output before the next frame is read; release
// the picture, the encoder, the input and the output, in that order. Running out of whole frames
// ends the run with status 0; every failure prints one line on standard error and ends it with
// -1; a stop signal ends it after the frame in progress (at once before the first), by that
// signal, once everything is released, unless a failure came with it. On a terminal, a status
// line shows the progress and a summary ends the run.

#include <cstdint>  // x264.h needs the fixed-width integer types first

#include <x264.h>

#include <cerrno>
#include <cstdio>

#include "command_line.h"
#include "data_paths.h"
#include "encoder_settings.h"
#include "frame_reader.h"
#include "nal_writer.h"
#include "output_claim.h"
#include "progress.h"
#include "signal_handling.h"
#include "standard_streams.h"

namespace {

void report(const char *message) {
    // Nothing is left to tell if standard error itself fails.
    (void)std::fputs(message, stderr);
}

// Encodes every whole frame of the input, timestamps 0, 1, 2, ... in frame order. The encoder
// holds no frame back under "zerolatency", so each frame's units are written in its own pass.
// Returns the message of the failure that ended it, or nothing.
[[nodiscard]] const char *encode_each_frame(std::FILE *input, std::FILE *output, x264_t *encoder,
                                            x264_picture_t *picture, const x264_param_t &param,
                                            Progress &progress) {
    x264_picture_t picture_out;
    x264_picture_init(&picture_out);
    x264_nal_t *nals = nullptr;
    int nal_count = 0;

    for (int64_t frame = 0;
         !stop_requested() && read_i420_frame(input, picture, param.i_width, param.i_height) == 0;
         ++frame) {
        picture->i_pts = frame;
        const int frame_bytes =
            x264_encoder_encode(encoder, &nals, &nal_count, picture, &picture_out);
        if (frame_bytes < 0) {
            return "Failed to encode frame\n";
        }
        if (write_nals(nals, nal_count, output) != 0) {
            // A reader that went with the stop (Ctrl-C to a pipeline) is the stop, told as such.
            return stop_requested() && errno == EPIPE ? nullptr : "Failed to write output file\n";
        }
        count_frame(progress, frame_bytes);
    }
    // A stop signal also cuts a waiting read short: that frame is dropped, as at the end. A stop
    // is no failure: every frame read in full is out, and the run tells of the stop as it ends.
    // The reader ends on a read error as on the end of the input; only the stream tells which.
    if (!stop_requested() && std::ferror(input) != 0) {
        return "Failed to read input file\n";
    }
    return nullptr;
}

// The frames, with the status line on a terminal, erased before any message and before the
// library prints its closing lines.
[[nodiscard]] int encode_frames(std::FILE *input, std::FILE *output, x264_t *encoder,
                                x264_picture_t *picture, const x264_param_t &param,
                                Progress &progress) {
    progress = start_progress(input);
    if (progress.on_terminal) {
        erase_status_line_before_telling();
    }
    const char *failure = encode_each_frame(input, output, encoder, picture, param, progress);
    erase_status_line(progress);
    if (failure != nullptr) {
        report(failure);
        return -1;
    }
    return 0;
}

// Owns the encoder and the input picture; releases the picture before the encoder.
[[nodiscard]] int encode_stream(std::FILE *input, std::FILE *output, Progress &progress) {
    x264_param_t param;
    configure_encoder(param);

    // The library starts its threads here; held signals keep them from taking a stop signal.
    const sigset_t started_with = hold_stop_signals();
    x264_t *encoder = x264_encoder_open(&param);
    stop_between_frames(input, output, started_with);
    if (encoder == nullptr) {
        report("Failed to open encoder\n");
        return -1;
    }

    int status = -1;
    x264_picture_t picture;
    if (x264_picture_alloc(&picture, param.i_csp, param.i_width, param.i_height) != 0) {
        report("Failed to allocate picture\n");
    } else {
        status = encode_frames(input, output, encoder, &picture, param, progress);
        x264_picture_clean(&picture);
    }
    x264_encoder_close(encoder);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    const Request request = read_request(argc, argv);
    if (request != Request::kEncode) {
        return answer(request, argc, argv, kInputPath, kOutputPath);  // touches no file
    }
    guard_standard_streams();
    ignore_write_failure_signals();
    catch_stop_signals();
    // The start line only greets; a closed standard output must not cost the user the stream.
    // Flushed, so that it comes first even when standard output is a pipe.
    (void)std::fputs("hello world.\n", stdout);
    (void)std::fflush(stdout);

    // Both opens come before either test, so a stale output is truncated even without input.
    std::FILE *input = std::fopen(kInputPath, "rb");
    std::FILE *output = claim_output(kOutputPath, input);
    if (input == nullptr) {
        report("Failed to open input file\n");
        if (output != nullptr) {
            (void)std::fclose(output);  // empty, and the run has already failed
        }
        return -1;
    }
    if (output == nullptr) {
        report("Failed to open output file\n");
        (void)std::fclose(input);
        return -1;
    }

    Progress progress;
    int status = encode_stream(input, output, progress);

    stop_after_frames();
    (void)std::fclose(input);  // a read-only stream has nothing left to lose
    // A file system may report a failed write only at close: that too is a cut stream.
    if (std::fclose(output) != 0 && status == 0) {
        report("Failed to write output file\n");
        status = -1;
    }
    // A failure keeps its own message and status, though a stop came too: the stream is cut.
    if (status == 0) {
        print_summary(progress, stop_requested());
        end_by_stop_signal();
    }
    return status;
}
