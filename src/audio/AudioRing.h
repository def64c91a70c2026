#pragma once

#include "base/Mutex.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace tovo {

// One second of stereo float samples between the audio server's thread (the writer) and
// the encode thread (the reader). The writer never blocks on the reader: an overflow
// advances the reader and is counted. Times are monotonic nanoseconds.
//
// Threads: write/fillSilence/read and the getters from any thread; one short lock.
class AudioRing {
public:
    struct Anchor {
        int64_t frame = 0;     // in the reader's gap-free numbering
        int64_t hostTime = 0;  // ns
    };

    AudioRing(int capacity, double sampleRate);

    // Appends `frames` frames of `channels` interleaved samples (mono is duplicated) whose
    // first sample was captured at `hostTime`; they arrived at `arrival`.
    void write(const float* samples, int frames, int channels, int64_t hostTime, int64_t arrival);
    // While no data has come for `idle` seconds, writes zeros up to `trail` seconds before
    // `now` (at most 20 ms after a long pause); returns the frames written.
    int fillSilence(int64_t now, double idle = 0.1, double trail = 0.025);
    // Copies `frames` frames out when that many are there.
    bool read(float* left, float* right, int frames);
    // The newest anchor since the last call.
    std::optional<Anchor> takeAnchor();

    int64_t skipped();
    int64_t callbacks();
    int64_t silenceFrames();

private:
    void appendLocked(int64_t start, int frames, int64_t hostTime) TOVO_REQUIRES(lock);

    const int capacity;
    const double nsPerFrame;
    Mutex lock;  // guards everything below
    std::vector<float> left TOVO_GUARDED_BY(lock);
    std::vector<float> right TOVO_GUARDED_BY(lock);
    int64_t written TOVO_GUARDED_BY(lock) = 0;
    int64_t readPos TOVO_GUARDED_BY(lock) = 0;
    int64_t skippedFrames TOVO_GUARDED_BY(lock) = 0;
    std::optional<Anchor> anchor TOVO_GUARDED_BY(lock);
    std::optional<int64_t> endHost TOVO_GUARDED_BY(lock);
    int64_t lastIOHost TOVO_GUARDED_BY(lock) = 0;
    int64_t calls TOVO_GUARDED_BY(lock) = 0;
    int64_t silence TOVO_GUARDED_BY(lock) = 0;
};

}  // namespace tovo
