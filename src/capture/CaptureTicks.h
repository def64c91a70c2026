#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>

namespace tovo {

// When a live source's capture thread reads the screen next. Ticks come once a frame
// interval; once the consumer has started a picture, they are aligned to the consumer's
// slots (its last start plus whole intervals) minus a lead: how long a picture takes from
// its tick to being kept, at the 85th percentile of the recent ones, plus a small margin. A
// picture ready just before its slot costs the least latency, and one ready after it is
// the only thing that moves the consumer's slots later (it may never start two pictures
// closer than an interval), which would cost a picture every interval's worth of lateness.
// The percentile trades the two: at 60 fps on a busy two-core desktop the 80th gave about a
// millisecond less latency and half a picture a second less than the 90th.
//
// Pure and clock-free: the caller passes the times. Not thread-safe; the owner guards it.
class CaptureTicks {
public:
    using Time = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    explicit CaptureTicks(Duration period);

    // The consumer started a picture at `at`: its next slots are `at` plus whole periods.
    void consumerStarted(Time at);
    // The picture read at `tick` was kept at `kept`.
    void kept(Time tick, Time kept);
    // The tick after `tick`: at least 0.9 of a period after it, and not before `now` (a
    // late tick is never caught up; the next aligned one is taken instead).
    Time next(Time tick, Time now) const;
    // Time from a tick to its picture being kept that the alignment allows for.
    Duration lead() const;

    const Duration period;

private:
    std::optional<Time> slotBase;
    static constexpr size_t sampleCount = 32;
    std::array<Duration, sampleCount> samples{};
    size_t sampled = 0;  // samples written so far (the ring holds the last sampleCount)
};

}  // namespace tovo
