#include "standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void guard_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // open() takes the lowest free descriptor: the closed one.
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            break;  // claim_output still refuses a standard descriptor
        }
    }
}
