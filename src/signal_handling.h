#pragma once

// Every signal disposition of the program: the write failures that must be reported rather than
// kill it, and the stop signals that end the run between frames, never inside one.

#include <cstdio>

// A write to a pipe whose reader went away (SIGPIPE) or past the file-size limit of `ulimit -f`
// (SIGXFSZ) kills a process silently, with its last NAL unit cut. Ignored, the write fails
// instead (EPIPE, EFBIG) and the run reports it like any other failed write.
void ignore_write_failure_signals();

// SIGINT, SIGTERM and SIGHUP stop the run between frames. Hold them while the library starts
// its threads, which inherit the block, so that a stop signal always lands on the calling
// thread, the one a blocked read must wake.
void hold_stop_signals();
// Catches the stop signals that were not ignored when the program started (nohup and background
// jobs keep theirs ignored) and releases the hold. A stop signal also ends `input`: the read it
// interrupts, and every read after it, comes up short at once, even one that starts just after
// the loop last looked for a stop. A second stop signal ends the run at once.
void catch_stop_signals(std::FILE *input);
// Whether a stop signal has come; a read it interrupted has come up short.
[[nodiscard]] bool stop_requested();
// Ends the process by the stop signal that came, with its default action, as a program without
// a handler would end; returns at once if none came.
void end_by_stop_signal();
