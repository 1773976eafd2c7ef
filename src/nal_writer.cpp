#include "nal_writer.h"

#include <cstdint>  // x264.h needs the fixed-width integer types first

#include <x264.h>

#include <cerrno>
#include <cstddef>

namespace {

// A stop signal can cut a write to a full pipe short; the rest still goes out, so a frame the
// encoder returned always reaches the output whole.
[[nodiscard]] int write_fully(const uint8_t *bytes, std::size_t size, std::FILE *output) {
    for (;;) {
        const std::size_t written = std::fwrite(bytes, 1, size, output);
        if (written == size) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
        std::clearerr(output);
        bytes += written;
        size -= written;
    }
}

}  // namespace

int write_nals(const x264_nal_t *nals, int nal_count, std::FILE *output) {
    for (int i = 0; i < nal_count; ++i) {
        if (write_fully(nals[i].p_payload, static_cast<std::size_t>(nals[i].i_payload), output) !=
            0) {
            return -1;
        }
    }
    return 0;
}
