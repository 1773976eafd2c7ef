#include "progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "encoder_settings.h"
#include "monotonic_clock.h"

namespace {

constexpr double kBytesPerMebibyte = 1024.0 * 1024.0;
constexpr int kSecondsPerMinute = 60;
constexpr int kSecondsPerHour = 3600;
constexpr std::int64_t kPercent = 100;  // rounded down: 100% only when done
// Room enough for any duration and any line, in characters.
constexpr std::size_t kDurationSize = 32;
constexpr std::size_t kLineSize = 128;

// A background job (`yuv2h264 &`) keeps quiet: its line would cross the shell's, and under
// `stty tostop` writing it would stop the job.
[[nodiscard]] bool in_the_foreground() {
    return tcgetpgrp(STDERR_FILENO) == getpgrp();
}

[[nodiscard]] double seconds_between(std::int64_t from, std::int64_t to) {
    return static_cast<double>(to - from) / kNanosecondsPerSecond;
}

[[nodiscard]] double frames_per_second(const Progress &progress) {
    const double seconds = seconds_between(progress.started_at, progress.now);
    return seconds > 0 ? static_cast<double>(progress.frames) / seconds : 0;
}

// "8.4 s" under a minute, "12:05" under an hour, "1:02:03" beyond.
void format_duration(char (&text)[kDurationSize], double seconds) {
    if (seconds < kSecondsPerMinute) {
        (void)std::snprintf(text, sizeof text, "%.1f s", seconds);
        return;
    }
    const auto whole = static_cast<long>(seconds);
    if (whole < kSecondsPerHour) {
        (void)std::snprintf(text, sizeof text, "%ld:%02ld", whole / kSecondsPerMinute,
                            whole % kSecondsPerMinute);
        return;
    }
    (void)std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / kSecondsPerHour,
                        whole / kSecondsPerMinute % kSecondsPerMinute, whole % kSecondsPerMinute);
}

void show_status_line(Progress &progress) {
    char line[kLineSize];
    const double fps = frames_per_second(progress);
    int length = 0;
    if (progress.input_frames > 0 && progress.frames <= progress.input_frames) {
        char left[kDurationSize];
        format_duration(
            left, fps > 0 ? static_cast<double>(progress.input_frames - progress.frames) / fps : 0);
        length = std::snprintf(
            line, sizeof line, "%sframe %lld of %lld (%lld%%), %.1f fps, %s left", kEraseStatusLine,
            static_cast<long long>(progress.frames), static_cast<long long>(progress.input_frames),
            static_cast<long long>(kPercent * progress.frames / progress.input_frames), fps, left);
    } else {
        length = std::snprintf(line, sizeof line, "%sframe %lld, %.1f fps", kEraseStatusLine,
                               static_cast<long long>(progress.frames), fps);
    }
    if (length <= 0) {
        return;
    }
    // One write a line; nothing is left to tell if standard error fails.
    (void)std::fwrite(line, 1, std::min(static_cast<std::size_t>(length), sizeof line - 1), stderr);
    progress.line_shown = true;
}

}  // namespace

Progress start_progress(std::FILE *input) {
    Progress progress;
    progress.on_terminal = isatty(STDERR_FILENO) == 1;
    if (!progress.on_terminal) {
        return progress;
    }
    struct stat input_file {};
    if (fstat(fileno(input), &input_file) == 0 && S_ISREG(input_file.st_mode)) {
        progress.input_frames = input_file.st_size / static_cast<std::int64_t>(kFrameBytes);
    }
    progress.started_at = monotonic_nanoseconds();
    progress.now = progress.started_at;
    progress.next_line_at = progress.started_at;  // the first frame shows at once
    return progress;
}

void count_frame(Progress &progress, std::int64_t bytes) {
    ++progress.frames;
    progress.stream_bytes += bytes;
    if (!progress.on_terminal) {
        return;
    }
    progress.now = monotonic_nanoseconds();
    if (progress.now >= progress.next_line_at) {
        progress.next_line_at = progress.now + kStatusLineNanoseconds;
        if (in_the_foreground()) {
            show_status_line(progress);
        }
    }
}

void erase_status_line(Progress &progress) {
    if (progress.line_shown) {
        (void)std::fputs(kEraseStatusLine, stderr);
        progress.line_shown = false;
    }
}

void print_summary(const Progress &progress, bool stopped) {
    if (!progress.on_terminal || !in_the_foreground()) {
        return;
    }
    char took[kDurationSize];
    format_duration(took, seconds_between(progress.started_at, progress.now));
    (void)std::fprintf(stderr, "%s %lld %sframes in %s (%.1f fps): %.1f MiB of H.264\n",
                       stopped ? "Stopped:" : "Encoded", static_cast<long long>(progress.frames),
                       stopped ? "whole " : "", took, frames_per_second(progress),
                       static_cast<double>(progress.stream_bytes) / kBytesPerMebibyte);
}
