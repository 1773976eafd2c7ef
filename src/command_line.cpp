#include "command_line.h"

#include <cstdint>  // x264.h needs the fixed-width integer types first

#include <x264.h>

#include <cstdio>
#include <cstring>

#include "version.h"

namespace {

// As getopt-based commands end on a misused command line.
constexpr int kMisuseStatus = 2;

void print_usage(std::FILE *stream, const char *input_path, const char *output_path) {
    const char *const from_where =
        input_path[0] == '/' ? "" : "\n(a relative path is taken from the working directory)";
    (void)std::fprintf(stream,
                       "Usage: yuv2h264 [--help | --version]\n"
                       "Encodes the raw 352x288 YUV 4:2:0 frames of %s\n"
                       "into the H.264 stream %s, which it replaces%s.\n"
                       "It takes no file name. The manual: man yuv2h264\n",
                       input_path, output_path, from_where);
}

[[nodiscard]] Request option(const char *argument) {
    if (std::strcmp(argument, "--help") == 0) {
        return Request::kHelp;
    }
    return std::strcmp(argument, "--version") == 0 ? Request::kVersion : Request::kMisuse;
}

}  // namespace

Request read_request(int argc, const char *const *argv) {
    if (argc <= 1) {
        return Request::kEncode;
    }
    return argc == 2 ? option(argv[1]) : Request::kMisuse;
}

int answer(Request request, int argc, const char *const *argv, const char *input_path,
           const char *output_path) {
    switch (request) {
        case Request::kEncode:
            break;
        case Request::kHelp:
            print_usage(stdout, input_path, output_path);
            break;
        case Request::kVersion:
            (void)std::printf("yuv2h264 %s\nlibx264 %s\n", kVersion, X264_POINTVER);
            break;
        case Request::kMisuse:
            // The first word that is not an option, or the one after the option.
            (void)std::fprintf(stderr, "yuv2h264: unexpected argument '%s'\n",
                               argc > 2 && option(argv[1]) != Request::kMisuse ? argv[2] : argv[1]);
            print_usage(stderr, input_path, output_path);
            return kMisuseStatus;
    }
    // `yuv2h264 --help >/dev/full` must not end as if the user had read it.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        (void)std::fputs("Failed to write standard output\n", stderr);
        return -1;
    }
    return 0;
}
