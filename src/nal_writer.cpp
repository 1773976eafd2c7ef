#include "nal_writer.h"

#include <cstdint>  // x264.h needs the fixed-width integer types first

#include <x264.h>

#include <cstddef>

int write_nals(const x264_nal_t *nals, int nal_count, std::FILE *output) {
    for (int i = 0; i < nal_count; ++i) {
        const auto size = static_cast<std::size_t>(nals[i].i_payload);
        if (std::fwrite(nals[i].p_payload, 1, size, output) != size) {
            return -1;
        }
    }
    return 0;
}
