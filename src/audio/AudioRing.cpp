#include "audio/AudioRing.h"

#include "base/Mutex.h"

#include <algorithm>

namespace tovo {

AudioRing::AudioRing(int capacity, double sampleRate)
    : capacity(std::max(capacity, 1)),
      nsPerFrame(1e9 / sampleRate),
      left(static_cast<size_t>(std::max(capacity, 1))),
      right(static_cast<size_t>(std::max(capacity, 1))) {}

void AudioRing::appendLocked(int64_t start, int frames, int64_t hostTime) {
    written += frames;
    if (written - readPos > capacity) {
        int64_t overflow = written - readPos - capacity;
        readPos = written - capacity;
        skippedFrames += overflow;
    }
    anchor = Anchor{start - skippedFrames, hostTime};
    endHost = hostTime + static_cast<int64_t>(nsPerFrame * frames);
}

void AudioRing::write(const float* samples, int frames, int channels, int64_t hostTime, int64_t arrival) {
    if (!samples || frames <= 0 || channels <= 0) return;
    MutexLock guard(lock);
    ++calls;
    lastIOHost = arrival;
    // Samples from a time that silence already stood in for are too late to place: the
    // stream's time line only goes forward.
    if (endHost && hostTime < *endHost) {
        auto late = static_cast<int64_t>((*endHost - hostTime) / nsPerFrame);
        if (late >= frames) return;
        samples += late * channels;
        frames -= static_cast<int>(late);
        hostTime = *endHost;
    }
    int64_t start = written;
    for (int i = 0; i < frames; ++i) {
        size_t at = static_cast<size_t>((start + i) % capacity);
        left[at] = samples[static_cast<size_t>(i) * channels];
        right[at] = channels >= 2 ? samples[static_cast<size_t>(i) * channels + 1] : left[at];
    }
    appendLocked(start, frames, hostTime);
}

int AudioRing::fillSilence(int64_t now, double idle, double trail) {
    MutexLock guard(lock);
    if (calls > 0 && now < lastIOHost + static_cast<int64_t>(idle * 1e9)) return 0;
    const auto trailNs = static_cast<int64_t>(trail * 1e9), stepNs = static_cast<int64_t>(0.02 * 1e9);
    int64_t target = now - trailNs;
    int64_t from = endHost.value_or(target - stepNs);
    if (target <= from) return 0;
    if ((target - from) / nsPerFrame > capacity / 2.0) from = target - stepNs;
    int n = static_cast<int>((target - from) / nsPerFrame);
    if (n < 1) return 0;
    int64_t start = written;
    for (int i = 0; i < n; ++i) {
        size_t at = static_cast<size_t>((start + i) % capacity);
        left[at] = right[at] = 0;
    }
    silence += n;
    appendLocked(start, n, from);
    return n;
}

bool AudioRing::read(float* outLeft, float* outRight, int frames) {
    MutexLock guard(lock);
    if (written - readPos < frames) return false;
    for (int i = 0; i < frames; ++i) {
        size_t at = static_cast<size_t>((readPos + i) % capacity);
        outLeft[i] = left[at];
        outRight[i] = right[at];
    }
    readPos += frames;
    return true;
}

std::optional<AudioRing::Anchor> AudioRing::takeAnchor() {
    MutexLock guard(lock);
    auto taken = anchor;
    anchor.reset();
    return taken;
}

int64_t AudioRing::skipped() {
    MutexLock guard(lock);
    return skippedFrames;
}

int64_t AudioRing::callbacks() {
    MutexLock guard(lock);
    return calls;
}

int64_t AudioRing::silenceFrames() {
    MutexLock guard(lock);
    return silence;
}

}  // namespace tovo
