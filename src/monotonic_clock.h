#pragma once

#include <cstdint>

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

// Nanoseconds on a clock that only goes forward. Async-signal-safe (clock_gettime), and no
// system call where the vDSO serves it.
[[nodiscard]] std::int64_t monotonic_nanoseconds();
