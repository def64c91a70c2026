#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace tovo {

// The capture could not start; the message is the client's to read.
class AudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the desktop plays, as float samples from the audio server (on Linux: a record stream
// on the default output's monitor, following the default when it changes).
class AudioSource {
public:
    struct Format {
        double sampleRate = 48000;
        int channels = 2;
        std::string description;  // e.g. "48000 Hz 2 ch float32"
        // Seconds without data after which silence stands in (a source that stops while
        // nothing plays wants it soon; one that always delivers only on a real stall).
        double silenceAfter = 0.1;
    };
    struct OutputLatency {
        std::string device;
        double ms = 0;
        std::string line;  // for the log
    };
    // Interleaved samples; `hostTime` is the monotonic time (ns) of the first one.
    using Sink = std::function<void(const float* samples, int frames, int channels, int64_t hostTime)>;

    virtual ~AudioSource() = default;
    // Starts delivering to `sink` on the audio server's thread; throws AudioError. `lost`
    // is called (once, on that thread) when the connection to the audio server is lost.
    virtual Format start(Sink sink, std::function<void()> lost) = 0;
    // Stops delivering; `sink` is not called afterwards.
    virtual void stop() = 0;
    // How long the output takes from the captured point to the speaker; none when unknown.
    virtual std::optional<OutputLatency> outputLatency() = 0;
};

using AudioSourceFactory = std::function<std::unique_ptr<AudioSource>()>;

}  // namespace tovo
