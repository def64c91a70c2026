#pragma once

#include "audio/AudioClientQueue.h"
#include "audio/AudioDeafWatchdog.h"
#include "audio/AudioRing.h"
#include "audio/AudioSource.h"
#include "audio/OpusPacketEncoder.h"
#include "base/Clock.h"
#include "base/Mutex.h"
#include "base/TaskQueue.h"
#include "capture/CaptureLatency.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tovo {

// How far audio runs ahead of the video of the same desktop.
struct AudioVideoOffset {
    double tapToSpeakerMs = 18;
    double captureLatencyMs = 14;
    int64_t totalMs() const;
    nlohmann::json json() const;
};

// dBFS of a peak: 20 log10(p), at least -160.
double dbfs(double peak);

// One running capture: the source writes into the ring, the "tovo-audio-encode" thread
// cuts 20 ms blocks, encodes them, stamps them with the wall clock and hands each packet
// to every client's queue.
//
// Threads: clients are added and removed from connection threads; stop() from any thread.
class AudioCapture {
public:
    static constexpr int bitRate = 96000;

    struct Client {
        std::shared_ptr<AudioClientQueue> queue = std::make_shared<AudioClientQueue>();
        std::string cookie;
        AudioVideoOffset videoOffset;
    };

    // Starts the source and the encode thread; throws AudioError. `lost` runs on the audio
    // server's thread when the source loses its server.
    AudioCapture(std::unique_ptr<AudioSource> source, VideoCaptureLatency& latency, std::function<void()> lost = {});
    ~AudioCapture();

    std::shared_ptr<Client> addClient();
    // Removes a client; the number left.
    size_t removeClient(const std::shared_ptr<Client>& client);
    size_t clientCount();
    // Stops the source and the thread, closes every client's queue. Idempotent.
    void stop();
    nlohmann::json statsJSON();
    // The output's latency as last read (at start and for each new client).
    double tapToSpeakerMs();
    // Monotonic seconds since which the capture has read only zeros.
    double zeroSince();

private:
    void encodeLoop();
    void deliver(AudioPacket packet, float peak);

    std::unique_ptr<AudioSource> source;
    VideoCaptureLatency& latency;
    AudioSource::Format format;
    std::unique_ptr<AudioRing> ring;
    std::unique_ptr<OpusPacketEncoder> encoder;
    std::optional<std::string> outputDevice;
    const double startedAt = wallSeconds();
    const double startedUptime = monotonicSeconds();

    Mutex lock;  // guards everything below
    std::condition_variable wake;
    double speakerMs TOVO_GUARDED_BY(lock) = AudioVideoOffset{}.tapToSpeakerMs;
    bool running TOVO_GUARDED_BY(lock) = true;
    std::vector<std::shared_ptr<Client>> clients TOVO_GUARDED_BY(lock);
    int64_t packets TOVO_GUARDED_BY(lock) = 0;
    int64_t bytes TOVO_GUARDED_BY(lock) = 0;
    int64_t silentPackets TOVO_GUARDED_BY(lock) = 0;
    int64_t leftDrops TOVO_GUARDED_BY(lock) = 0;
    int64_t reanchors TOVO_GUARDED_BY(lock) = 0;
    int64_t windowPackets TOVO_GUARDED_BY(lock) = 0;
    int64_t windowBytes TOVO_GUARDED_BY(lock) = 0;
    float peak TOVO_GUARDED_BY(lock) = 0;
    float peakWindow TOVO_GUARDED_BY(lock) = 0;
    std::optional<double> firstIOAt TOVO_GUARDED_BY(lock);
    std::optional<double> firstSoundAt TOVO_GUARDED_BY(lock);
    std::optional<double> lastSoundUptime TOVO_GUARDED_BY(lock);

    // Last: started by the constructor once everything above exists, joined by stop().
    std::thread thread;
};

// The one capture of the service: started by its first client, stopped 3 s after its last
// one left (a client arriving meanwhile reuses it), torn down at once on request (the next
// start then waits until 1 s after that).
//
// Threads: any; `lock` is never held while a capture starts or stops.
class AudioCaptures {
public:
    static constexpr double stopDelay = 3.0;
    static constexpr double holdAfterTearDown = 1.0;

    AudioCaptures(AudioSourceFactory makeSource, VideoCaptureLatency& latency, std::shared_ptr<TaskQueue> queue,
                  MonotonicClock clock = monotonicSeconds);
    ~AudioCaptures();

    // A client of the running capture, starting one first when needed; throws AudioError.
    std::shared_ptr<AudioCapture::Client> subscribe();
    void unsubscribe(const std::shared_ptr<AudioCapture::Client>& client);
    void tearDown(const std::string& reason);
    nlohmann::json statsJSON();
    // Stops what runs, now (service shutdown).
    void stopAll();
    // The watchdog that watches each capture while it runs. Set before the first subscribe.
    void setWatchdog(AudioDeafWatchdog* watchdog) { deafness = watchdog; }

private:
    void checkPendingStop();
    // The audio server went away under `capture`: its clients' streams end, and they
    // reconnect to a fresh capture.
    void lost(const std::weak_ptr<AudioCapture>& capture);

    const AudioSourceFactory makeSource;
    VideoCaptureLatency& latency;
    const MonotonicClock clock;
    Mutex lock;  // guards everything below
    std::shared_ptr<AudioCapture> current TOVO_GUARDED_BY(lock);
    std::optional<double> stopAt TOVO_GUARDED_BY(lock);
    std::optional<double> holdUntil TOVO_GUARDED_BY(lock);
    std::optional<nlohmann::json> lastStats TOVO_GUARDED_BY(lock);
    int starts TOVO_GUARDED_BY(lock) = 0;
    int failures TOVO_GUARDED_BY(lock) = 0;
    std::optional<std::string> lastError TOVO_GUARDED_BY(lock);
    std::optional<double> lastSpeakerMs TOVO_GUARDED_BY(lock);
    bool timerRunning TOVO_GUARDED_BY(lock) = false;
    int serverLosses TOVO_GUARDED_BY(lock) = 0;
    // Set before the first subscribe and unset after stopAll(): no capture runs meanwhile.
    AudioDeafWatchdog* deafness = nullptr;
    // Last, so that its thread ends before the fields a tick reads.
    const std::shared_ptr<TaskQueue> queue;
};

}  // namespace tovo
