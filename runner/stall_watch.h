// Time the whole machine lost: a virtual machine's processors held back by
// its host, which no thread inside sees as a wait for a CPU (its scheduler
// thinks them running), yet which holds every reply back as surely.
#pragma once

#include <atomic>
#include <thread>

// A thread that sleeps a millisecond at a time: what it wakes late, less
// what the scheduler counts as its own wait for a CPU, was lost.
struct StallWatch {
    StallWatch();
    ~StallWatch();
    StallWatch(const StallWatch &) = delete;
    StallWatch &operator=(const StallWatch &) = delete;
    // The time lost since the watch began, in microseconds.
    double lostMicros() const { return lostNanos / 1e3; }

  private:
    std::atomic<bool> stopping{false};
    std::atomic<long long> lostNanos{0};
    std::thread thread;
    void watch();
};
