#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tovo {

// What one capture tick found: the screen changed (a new picture), nothing changed, or
// something else (a failed or unreadable tick).
enum class FrameStatus { complete, idle, other };

// Counters over one statistics window.
struct CaptureActivityWindow {
    double seconds = 0;
    int complete = 0;
    int idle = 0;
    int other = 0;
    int gated = 0;
    std::vector<double> completeGapsMs;  // between consecutive complete ticks

    // "complete %.1f/s idle %.1f/s other %.1f/s gated %d" and, with gaps,
    // ", complete gap p50/90/99 %.0f/%.0f/%.0f ms".
    std::string line() const;
    nlohmann::json json() const;
    // The element at min(count − 1, ⌊q × count⌋) of the sorted gaps; 0 without gaps.
    double gapPercentile(double q) const;
};

// Frame-status counters of one frame stream. Times are monotonic seconds.
struct CaptureActivity {
    double startedAt = 0;
    std::optional<double> lastAliveAt;
    CaptureActivityWindow window;
    std::optional<double> windowStart;
    std::optional<double> lastCompleteAt;

    void note(std::optional<FrameStatus> status, double at, bool gated);
    // Hands out the window up to `now` and starts the next one.
    CaptureActivityWindow take(double now);
};

}  // namespace tovo
