#pragma once

// The few operating-system calls that keep a run safe where shells, pipes and scripts put it:
// odd standard descriptors, an output shared with the input or with another run, and stop
// signals that must end the run between frames, never inside one.

#include <cstdio>

// Gives each of descriptors 0, 1 and 2 that the program was started without to /dev/null, so
// that no file it opens takes one and receives the library's log lines, and makes a write to a
// pipe whose reader went away fail (EPIPE) instead of killing the process. Call it first.
void guard_standard_streams();

// Opens `path` for the stream as mode "wb" would, but creates it without truncating and refuses
// (nullptr, the file untouched) when it is `input` itself, through a link or under another name,
// or when another run holds it; the lock that tells lasts until the stream is closed. `input`
// may be null. The stream is unbuffered: each payload goes to the operating system straight from
// the encoder's buffer, so a live reader gets every frame at once and nothing waits in a buffer.
[[nodiscard]] std::FILE *open_output(const char *path, std::FILE *input);

// SIGINT, SIGTERM and SIGHUP stop the run between frames. Hold them while the library starts
// its threads, which inherit the block, so that a stop signal always lands on the calling
// thread, the one a blocked read must wake.
void hold_stop_signals();
// Catches the stop signals that were not ignored when the program started (nohup and background
// jobs keep theirs ignored) and releases the hold. A second stop signal ends the run at once.
void catch_stop_signals();
// Whether a stop signal has come; a read it interrupted has come up short.
[[nodiscard]] bool stop_requested();
// Ends the process by the stop signal that came, with its default action, as a program without
// a handler would end; returns at once if none came.
void end_by_stop_signal();
