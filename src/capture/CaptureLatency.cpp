#include "capture/CaptureLatency.h"

#include "base/Mutex.h"

#include <algorithm>
#include <cmath>

namespace tovo {

void RunningMedian::add(double value) {
    if (samples.size() < capacity) {
        samples.push_back(value);
    } else {
        samples[next] = value;
    }
    next = (next + 1) % capacity;
}

std::optional<double> RunningMedian::median() const {
    if (samples.empty()) return std::nullopt;
    std::vector<double> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

void RunningMedian::clear() {
    samples.clear();
    next = 0;
}

void VideoCaptureLatency::setOwner(const void* stream) {
    MutexLock guard(lock);
    owner = stream;
    ownerSampled = false;
}

void VideoCaptureLatency::note(const void* stream, double ms) {
    if (!std::isfinite(ms) || ms < 0 || ms > 1000) return;
    MutexLock guard(lock);
    if (stream != owner) return;
    if (!ownerSampled) {
        median.clear();
        ownerSampled = true;
    }
    median.add(ms);
}

double VideoCaptureLatency::latencyMs() {
    MutexLock guard(lock);
    return median.median().value_or(14.0);
}

std::pair<std::optional<double>, size_t> VideoCaptureLatency::measured() {
    MutexLock guard(lock);
    return {median.median(), median.samples.size()};
}

}  // namespace tovo
