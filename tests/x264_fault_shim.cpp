// Preloaded into the program under test to reach what no input file can: it makes the libx264
// call named by YUV2H264_FAULT fail ("encoder_open", "picture_alloc", or "encode:N" for the
// encode call with index N), or the close of the output stream ("fclose:output", after closing
// it), or raises signal S just before the program's call N of fread, of the encoder or of its
// close, or as the process exits ("raise:S@read:N", "raise:S@encode:N", "raise:S@close:0",
// "raise:S@exit:0"; "raise:S,T,...@..." raises each in turn, as copies of one stop come), and
// appends the timestamp of every encoded picture, or "null" for a flush call, to the file named
// by YUV2H264_PTS_LOG once the call is over. Everything else goes to the library.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include <x264.h>

#include <cerrno>
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

// Opened at the first encode and kept, after the program's files: under a descriptor limit it
// takes the last one free, as a file the library kept open would.
void log_pts(const x264_picture_t *picture) {
    const char *path = std::getenv("YUV2H264_PTS_LOG");
    if (path == nullptr) {
        return;
    }
    static const int log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    char line[32] = "null\n";
    if (picture != nullptr) {
        std::snprintf(line, sizeof line, "%" PRId64 "\n", picture->i_pts);
    }
    if (log < 0 || write(log, line, std::strlen(line)) < 0) {
        std::abort();
    }
}

// A signal at an exact instant, which no timing from outside can aim at.
void raise_at(const char *point, long call) {
    char signals[32] = "";
    char name[8] = "";
    long raising_call = -1;
    if (std::sscanf(fault(), "raise:%31[0-9,]@%7[a-z]:%ld", signals, name, &raising_call) == 3 &&
        std::strcmp(name, point) == 0 && raising_call == call) {
        for (char *next = signals; *next != '\0';) {
            (void)std::raise(static_cast<int>(std::strtol(next, &next, 10)));
            next += *next == ',' ? 1 : 0;
        }
    }
}

// After main has returned and everything is released: a stop must still be told.
__attribute__((destructor)) void at_exit() {
    raise_at("exit", 0);
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
    raise_at("encode", this_call);
    long failing_call = -1;
    const bool fails =
        std::sscanf(fault(), "encode:%ld", &failing_call) == 1 && failing_call == this_call;
    static const auto encode = next_definition<int (*)(
        x264_t *, x264_nal_t **, int *, x264_picture_t *, x264_picture_t *)>("x264_encoder_encode");
    const int result = fails ? -1 : encode(encoder, pp_nal, pi_nal, pic_in, pic_out);
    // Logged after the call: a test that sees frame N logged knows its units are next.
    log_pts(pic_in);
    return result;
}

// After the last frame, while the encoder is released.
void x264_encoder_close(x264_t *encoder) {
    raise_at("close", 0);
    static const auto close = next_definition<void (*)(x264_t *)>("x264_encoder_close");
    close(encoder);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int fclose(FILE *stream) {
    const bool fails = std::strcmp(fault(), "fclose:output") == 0 &&
                       (fcntl(fileno(stream), F_GETFL) & O_ACCMODE) == O_WRONLY;
    static const auto close = next_definition<int (*)(FILE *)>("fclose");
    const int result = close(stream);
    if (fails) {
        errno = EIO;  // as a file system that reports a failed write only at close
        return EOF;
    }
    return result;
}

// "read" is the instant after the loop has looked for a stop, before the read starts. (glibc
// names the parameters with reserved identifiers, which we cannot use.)
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
size_t fread(void *buffer, size_t size, size_t count, FILE *stream) {
    static long call = 0;
    raise_at("read", call++);
    static const auto read = next_definition<size_t (*)(void *, size_t, size_t, FILE *)>("fread");
    return read(buffer, size, count, stream);
}
