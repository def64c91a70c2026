#pragma once

#include "base/Mutex.h"

#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

namespace tovo {

// The median of the last `capacity` samples.
struct RunningMedian {
    explicit RunningMedian(size_t capacity) : capacity(capacity) {}

    void add(double value);
    std::optional<double> median() const;
    void clear();

    size_t capacity;
    std::vector<double> samples;
    size_t next = 0;  // the slot the next sample overwrites once full
};

// How old a screen picture is when the capture has read it: the median over the samples of
// the one frame stream that owns the measurement (the newest to start).
//
// Threads: any. One per service, passed to the frame streams (and whoever reads the latency).
class VideoCaptureLatency {
public:
    // Makes `owner` the stream whose samples count; its first sample replaces the old ones.
    void setOwner(const void* owner);
    // A sample in milliseconds from `owner`; others, and values that are negative, not finite
    // or above 1000, are ignored.
    void note(const void* owner, double ms);
    // The median, or 14 ms before any picture was measured.
    double latencyMs();
    // The median when there are samples, and how many.
    std::pair<std::optional<double>, size_t> measured();

private:
    Mutex lock;  // guards everything below
    const void* owner = nullptr;
    bool ownerSampled TOVO_GUARDED_BY(lock) = false;
    RunningMedian median TOVO_GUARDED_BY(lock){120};
};

}  // namespace tovo
