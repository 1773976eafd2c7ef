#pragma once

// A status line while frames are encoded, and one summary line at the end, for a person watching
// a terminal: only when standard error is one, so that a pipe, a file or a log gets the program's
// messages and nothing else. The line is rewritten in place, a few times a second at most, and
// erased before anything else is printed.

#include <cstdint>
#include <cstdio>

// Back to the start of the line, then clear it to its end.
constexpr char kEraseStatusLine[] = "\r\033[K";
constexpr std::int64_t kStatusLineNanoseconds = 250'000'000;

struct Progress {
    bool on_terminal = false;
    std::int64_t input_frames = 0;  // whole frames in a regular input; 0 when it cannot tell
    std::int64_t frames = 0;        // encoded and written whole
    std::int64_t stream_bytes = 0;
    std::int64_t started_at = 0;  // monotonic nanoseconds
    std::int64_t now = 0;
    std::int64_t next_line_at = 0;
    bool line_shown = false;
};

// Starts the clock, if standard error is a terminal. A regular `input` gives the percentage and
// the time left.
[[nodiscard]] Progress start_progress(std::FILE *input);
// Counts a frame written whole, with its bytes; rewrites the line when it is due. Costs a clock
// read a frame, and nothing when standard error is no terminal.
void count_frame(Progress &progress, std::int64_t bytes);
// Erases the line, so that whatever comes next starts a clean one.
void erase_status_line(Progress &progress);
// The summary: frames, time, frames per second, stream size; after a stop, that the stream holds
// those frames whole.
void print_summary(const Progress &progress, bool stopped);
