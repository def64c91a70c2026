#include "capture/CaptureTicks.h"

#include <algorithm>

namespace tovo {
namespace {
// Beyond the percentile: wake-up jitter the samples did not show yet.
constexpr std::chrono::microseconds margin{300};
}  // namespace

CaptureTicks::CaptureTicks(Duration period) : period(period) {}

void CaptureTicks::consumerStarted(Time at) { slotBase = at; }

void CaptureTicks::kept(Time tick, Time keptAt) {
    samples[sampled % sampleCount] = std::max(Duration::zero(), keptAt - tick);
    ++sampled;
}

CaptureTicks::Duration CaptureTicks::lead() const {
    const size_t n = std::min(sampled, sampleCount);
    if (n == 0) return Duration::zero();
    std::array<Duration, sampleCount> sorted = samples;
    const size_t at = std::min(n - 1, n * 85 / 100);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at),
                     sorted.begin() + static_cast<std::ptrdiff_t>(n));
    // Bounded: a capture slower than that is not hidden by moving the ticks anyway.
    return std::min<Duration>(sorted[at] + margin, period * 3 / 4);
}

CaptureTicks::Time CaptureTicks::next(Time tick, Time now) const {
    const Time earliest = std::max(tick + period * 9 / 10, now);
    if (!slotBase) {
        Time at = tick + period;
        while (at < earliest) at += period;
        return at;
    }
    // The first aligned tick (a slot minus the lead) not before `earliest`.
    const Time aligned = *slotBase - lead();
    if (aligned >= earliest) return aligned - ((aligned - earliest) / period) * period;
    return aligned + ((earliest - aligned + period - Duration(1)) / period) * period;
}

}  // namespace tovo
