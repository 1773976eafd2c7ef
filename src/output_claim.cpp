#include "output_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

// Every file call of the program sees the same off_t; a 32-bit build without large-file support
// would fail to open an input over 2 GiB.
static_assert(sizeof(off_t) >= sizeof(std::int64_t),
              "build with _FILE_OFFSET_BITS=64: inputs may exceed 2 GiB");

namespace {

[[nodiscard]] bool same_file(std::FILE *input, const struct stat &output) {
    struct stat in;
    return fstat(fileno(input), &in) == 0 && in.st_dev == output.st_dev &&
           in.st_ino == output.st_ino;
}

// Refused: the input itself, a file another run holds, or one that cannot be emptied.
[[nodiscard]] bool may_take(int fd, std::FILE *input) {
    struct stat output;
    if (fstat(fd, &output) != 0 || (input != nullptr && same_file(input, output))) {
        return false;
    }
    // Only another holder refuses: where the file system has no locks, the run goes on unguarded.
    // A character device (/dev/null, a terminal) is shared by nature: any number of runs, and
    // whatever else holds a lock on it, may write there.
    if (!S_ISCHR(output.st_mode) && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return false;
    }
    // Pipes and devices are not truncated, as "wb" leaves them.
    return !S_ISREG(output.st_mode) || ftruncate(fd, 0) == 0;
}

}  // namespace

std::FILE *claim_output(const char *path, std::FILE *input) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    if (fd <= STDERR_FILENO || !may_take(fd, input)) {
        (void)close(fd);
        return nullptr;
    }
    std::FILE *output = fdopen(fd, "wb");
    if (output == nullptr) {
        (void)close(fd);
        return nullptr;
    }
    if (std::setvbuf(output, nullptr, _IONBF, 0) != 0) {
        (void)std::fclose(output);
        return nullptr;
    }
    return output;
}
