#pragma once

// Gives each of descriptors 0, 1 and 2 that the program was started without to /dev/null, so
// that no file it opens takes one and receives the library's log lines. Call it first.
void guard_standard_streams();
