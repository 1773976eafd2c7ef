#pragma once

#include <cstdio>

// Opens `path` for the stream as mode "wb" would, but creates it without truncating and refuses
// (nullptr, the file untouched) when it is `input` itself, through a link or under another name,
// or when another run holds it (a file or a pipe; a character device such as /dev/null is never
// held); the lock that tells lasts until the stream is closed. `input` may be null. The stream is
// unbuffered: each payload goes to the operating system straight from the encoder's buffer, so a
// live reader gets every frame at once and nothing waits in a buffer.
[[nodiscard]] std::FILE *claim_output(const char *path, std::FILE *input);
