#pragma once

// Every signal disposition of the program: the write failures that must be reported rather than
// kill it, and the stop signals (SIGINT, SIGTERM, SIGHUP), which never cut a frame. Whenever a
// stop signal comes, the run prints "Encoding interrupted" and ends by that signal: at once before
// the first frame is read and once everything is released, after the frame in progress while
// frames are encoded, and after the release when it comes during it. A failure that comes with
// it (a full disk) is told as that failure instead: the stream is cut.

#include <csignal>  // sigset_t, which glibc declares there too
#include <cstdint>
#include <cstdio>

// `timeout` signals the program, then its own process group, which holds the program too; a
// shell's `kill %1` signals the group, and `timeout` forwards that again: one stop, delivered
// two or three times within microseconds. A person takes far longer to send another.
constexpr std::int64_t kSameStopNanoseconds = 250'000'000;

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
// starts just after the loop last looked for a stop. A later one that a person sent ends the run
// at once: Ctrl-C pressed again at the terminal, however quickly, or any stop signal after the
// first one's instant; copies within that instant, from any process, are the same stop.
// Restores `mask`, releasing a stop signal that came while they were held.
void stop_between_frames(std::FILE *input, std::FILE *output, const sigset_t &mask);
// Leaves the input's descriptor alone from now on, so that it can be closed: a stop signal only
// marks the run.
void stop_after_frames();
// From now on "Encoding interrupted" first erases the terminal's status line (see progress.h).
void erase_status_line_before_telling();
// Whether a stop signal has come; a read it interrupted has come up short.
[[nodiscard]] bool stop_requested();
// If a stop signal came, says so and ends the process by it, with its default action, as a
// program without a handler would end. Otherwise returns, and from then on a stop signal says so
// and ends the run at once.
void end_by_stop_signal();
