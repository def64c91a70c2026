#include "capture/CaptureActivity.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tovo {

double CaptureActivityWindow::gapPercentile(double q) const {
    if (completeGapsMs.empty()) return 0;
    std::vector<double> sorted = completeGapsMs;
    std::sort(sorted.begin(), sorted.end());
    size_t index = std::min(sorted.size() - 1, static_cast<size_t>(std::floor(q * static_cast<double>(sorted.size()))));
    return sorted[index];
}

std::string CaptureActivityWindow::line() const {
    auto rate = [&](int count) { return seconds > 0 ? count / seconds : 0.0; };
    char text[256];
    int n = std::snprintf(text, sizeof(text), "complete %.1f/s idle %.1f/s other %.1f/s gated %d", rate(complete),
                          rate(idle), rate(other), gated);
    std::string out(text, static_cast<size_t>(n));
    if (!completeGapsMs.empty()) {
        n = std::snprintf(text, sizeof(text), ", complete gap p50/90/99 %.0f/%.0f/%.0f ms", gapPercentile(0.5),
                          gapPercentile(0.9), gapPercentile(0.99));
        out.append(text, static_cast<size_t>(n));
    }
    return out;
}

nlohmann::json CaptureActivityWindow::json() const {
    auto tenth = [](double v) { return std::round(v * 10) / 10; };
    auto rate = [&](int count) { return tenth(seconds > 0 ? count / seconds : 0.0); };
    nlohmann::json object{{"seconds", tenth(seconds)},
                          {"completePerSecond", rate(complete)},
                          {"idlePerSecond", rate(idle)},
                          {"otherPerSecond", rate(other)},
                          {"gated", gated}};
    if (!completeGapsMs.empty()) {
        object["completeGapMs"] = {tenth(gapPercentile(0.5)), tenth(gapPercentile(0.9)), tenth(gapPercentile(0.99))};
    }
    return object;
}

void CaptureActivity::note(std::optional<FrameStatus> status, double at, bool gated) {
    if (!windowStart) windowStart = startedAt != 0 ? startedAt : at;
    switch (status.value_or(FrameStatus::other)) {
    case FrameStatus::complete:
        lastAliveAt = at;
        ++window.complete;
        if (gated) ++window.gated;
        if (lastCompleteAt) window.completeGapsMs.push_back((at - *lastCompleteAt) * 1000);
        lastCompleteAt = at;
        break;
    case FrameStatus::idle:
        lastAliveAt = at;
        ++window.idle;
        break;
    case FrameStatus::other: ++window.other; break;
    }
}

CaptureActivityWindow CaptureActivity::take(double now) {
    CaptureActivityWindow out = window;
    out.seconds = windowStart ? std::max(0.0, now - *windowStart) : 0;
    window = CaptureActivityWindow{};
    windowStart = now;
    return out;
}

}  // namespace tovo
