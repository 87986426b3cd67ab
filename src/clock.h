// Time on a clock that only moves forward, for measuring waits and rates.
#pragma once

#include <chrono>
#include <cstdint>

inline int64_t monotonicNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double secondsNow() { return monotonicNanos() / 1e9; }
