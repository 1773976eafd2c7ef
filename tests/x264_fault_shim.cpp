// Preloaded into the program under test to reach what no input file can: it makes the libx264
// call named by YUV2H264_FAULT fail ("encoder_open", "picture_alloc", or "encode:N" for the
// encode call with index N), or raises SIGTERM just before the program's read with index N
// ("stop_before_read:N"), and appends the timestamp of every encoded picture, or "null" for
// a flush call, to the file named by YUV2H264_PTS_LOG. Everything else goes to the library.

#include <dlfcn.h>

#include <cstdint>

#include <x264.h>

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Function>
Function next_definition(const char *name) {
    auto *function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    if (function == nullptr) {
        std::fprintf(stderr, "x264_fault_shim: no %s to forward to\n", name);
        std::abort();
    }
    return function;
}

const char *fault() {
    const char *name = std::getenv("YUV2H264_FAULT");
    return name != nullptr ? name : "";
}

void log_pts(const x264_picture_t *picture) {
    const char *path = std::getenv("YUV2H264_PTS_LOG");
    if (path == nullptr) {
        return;
    }
    std::FILE *log = std::fopen(path, "a");
    if (log == nullptr) {
        std::abort();
    }
    if (picture == nullptr) {
        std::fputs("null\n", log);
    } else {
        std::fprintf(log, "%" PRId64 "\n", picture->i_pts);
    }
    std::fclose(log);
}

}  // namespace

// x264.h renames this to the versioned symbol the program links against.
x264_t *x264_encoder_open(x264_param_t *param) {
    if (std::strcmp(fault(), "encoder_open") == 0) {
        return nullptr;
    }
    char versioned[64];
    std::snprintf(versioned, sizeof versioned, "x264_encoder_open_%d", X264_BUILD);
    static const auto open = next_definition<x264_t *(*)(x264_param_t *)>(versioned);
    return open(param);
}

int x264_picture_alloc(x264_picture_t *picture, int csp, int width, int height) {
    if (std::strcmp(fault(), "picture_alloc") == 0) {
        return -1;
    }
    static const auto alloc =
        next_definition<int (*)(x264_picture_t *, int, int, int)>("x264_picture_alloc");
    return alloc(picture, csp, width, height);
}

int x264_encoder_encode(x264_t *encoder, x264_nal_t **pp_nal, int *pi_nal, x264_picture_t *pic_in,
                        x264_picture_t *pic_out) {
    static long call = 0;
    const long this_call = call++;
    log_pts(pic_in);
    long failing_call = -1;
    if (std::sscanf(fault(), "encode:%ld", &failing_call) == 1 && failing_call == this_call) {
        return -1;
    }
    static const auto encode = next_definition<int (*)(
        x264_t *, x264_nal_t **, int *, x264_picture_t *, x264_picture_t *)>("x264_encoder_encode");
    return encode(encoder, pp_nal, pi_nal, pic_in, pic_out);
}

// A signal at the one instant no timing can aim at: after the loop has looked for a stop, before
// the read starts. (glibc names the parameters with reserved identifiers, which we cannot use.)
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
size_t fread(void *buffer, size_t size, size_t count, FILE *stream) {
    static long call = 0;
    const long this_call = call++;
    long stop_call = -1;
    if (std::sscanf(fault(), "stop_before_read:%ld", &stop_call) == 1 && stop_call == this_call) {
        (void)std::raise(SIGTERM);
    }
    static const auto read = next_definition<size_t (*)(void *, size_t, size_t, FILE *)>("fread");
    return read(buffer, size, count, stream);
}
