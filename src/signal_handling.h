#pragma once

// Every signal disposition of the program: the write failures that must be reported rather than
// kill it, and the stop signals (SIGINT, SIGTERM, SIGHUP), which never cut a frame. A stop signal
// ends the run at once before the first frame is read, after the frame in progress while frames
// are encoded, and by that signal in every case, after "Encoding interrupted".

#include <csignal>  // sigset_t, which glibc declares there too
#include <cstdio>

// The one line that tells a run was stopped.
constexpr char kInterruptedMessage[] = "Encoding interrupted\n";

// A write to a pipe whose reader went away (SIGPIPE) or past the file-size limit of `ulimit -f`
// (SIGXFSZ) kills a process silently, with its last NAL unit cut. Ignored, the write fails
// instead (EPIPE, EFBIG) and the run reports it like any other failed write.
void ignore_write_failure_signals();

// Catches the stop signals that were not ignored when the program started (nohup and background
// jobs keep theirs ignored). Until stop_between_frames(), a stop signal says so and ends the run
// at once: the opens of named pipes it may wait on read nothing, and nothing is written yet.
void catch_stop_signals();
// Holds the stop signals while the library starts its threads, which inherit the hold, so that a
// stop signal always lands on the calling thread, the one a blocked read must wake. Returns the
// mask to restore: the one the program was started with, whose blocked signals stay blocked.
[[nodiscard]] sigset_t hold_stop_signals();
// From now until stop_after_frames(), a stop signal lets the frame in progress finish and ends
// `input`: the read it interrupts, and every read after it, comes up short at once, even one that
// starts just after the loop last looked for a stop. A second one ends the run at once. Restores
// `mask`, releasing a stop signal that came while they were held.
void stop_between_frames(std::FILE *input, std::FILE *output, const sigset_t &mask);
// Leaves the input's descriptor alone from now on, so that it can be closed: a stop signal only
// marks the run, which ends by it once everything is released.
void stop_after_frames();
// Whether a stop signal has come; a read it interrupted has come up short.
[[nodiscard]] bool stop_requested();
// Ends the process by the stop signal that came, with its default action, as a program without
// a handler would end; returns at once if none came.
void end_by_stop_signal();
