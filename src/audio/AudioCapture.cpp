#include "audio/AudioCapture.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace tovo {
namespace {

int64_t monotonicNs() { return static_cast<int64_t>(monotonicSeconds() * 1e9); }

std::string seconds2(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", s);
    return text;
}

std::string fixed1(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

double round1(double v) { return std::round(v * 10) / 10; }

}  // namespace

double dbfs(double peak) { return peak > 0 ? std::max(-160.0, 20 * std::log10(peak)) : -160.0; }

int64_t AudioVideoOffset::totalMs() const {
    return static_cast<int64_t>(std::llround(tapToSpeakerMs + captureLatencyMs));
}

nlohmann::json AudioVideoOffset::json() const {
    return {{"tapToSpeakerMs", round1(tapToSpeakerMs)},
            {"captureLatencyMs", round1(captureLatencyMs)},
            {"totalMs", totalMs()}};
}

AudioCapture::AudioCapture(std::unique_ptr<AudioSource> audioSource, VideoCaptureLatency& latency,
                           std::function<void()> lost)
    : source(std::move(audioSource)), latency(latency) {
    encoder = OpusPacketEncoder::make(bitRate);
    if (!encoder) throw AudioError("no Opus encoder");
    // The ring exists before the first callback can reach it.
    ring = std::make_unique<AudioRing>(48000, 48000);
    AudioRing* target = ring.get();
    format = source->start(
        [this, target](const float* samples, int frames, int channels, int64_t hostTime) {
            target->write(samples, frames, channels, hostTime, monotonicNs());
            wake.notify_one();
        },
        std::move(lost));
    if (format.sampleRate != OpusPacketEncoder::sampleRate) {
        source->stop();
        throw AudioError("unsupported audio format " + format.description);
    }
    const std::optional<AudioSource::OutputLatency> output = source->outputLatency();
    if (output) {
        speakerMs = output->ms;
        outputDevice = output->device;
    }
    log("audio: capture started (" + format.description + ", Opus " + std::to_string(bitRate / 1000) +
        " kbit/s, priming " + std::to_string(encoder->primingFrames()) + ")");
    const AudioVideoOffset defaults;
    auto [median, count] = latency.measured();
    char capture[96];
    if (median) {
        std::snprintf(capture, sizeof capture, "%.1f ms (median of %zu frames)", *median, count);
    } else {
        std::snprintf(capture, sizeof capture, "%.0f ms (default: no real display captured yet)",
                      defaults.captureLatencyMs);
    }
    char speaker[64];
    std::snprintf(speaker, sizeof speaker, "%.0f ms (default: the output's latency is unreadable)",
                  defaults.tapToSpeakerMs);
    AudioVideoOffset offset{speakerMs, median.value_or(defaults.captureLatencyMs)};
    log("audio: A/V offset " + std::to_string(offset.totalMs()) + " ms = tap\u2192speaker " +
        (output ? output->line : std::string(speaker)) + " + capture " + capture);
    thread = std::thread([this] { encodeLoop(); });
}

AudioCapture::~AudioCapture() { stop(); }

std::shared_ptr<AudioCapture::Client> AudioCapture::addClient() {
    auto client = std::make_shared<Client>();
    client->cookie = encoder->cookie();
    // An output's latency follows what plays on it (an idle one reports its idle
    // buffering), so it is read again for each client.
    if (auto output = source->outputLatency()) {
        MutexLock guard(lock);
        speakerMs = output->ms;
    }
    client->videoOffset = AudioVideoOffset{tapToSpeakerMs(), latency.latencyMs()};
    size_t count;
    {
        MutexLock guard(lock);
        clients.push_back(client);
        count = clients.size();
    }
    log("audio: client connected (" + std::to_string(count) + " now)");
    return client;
}

size_t AudioCapture::removeClient(const std::shared_ptr<Client>& client) {
    size_t left;
    int64_t lost = client->queue->dropped();
    {
        MutexLock guard(lock);
        auto it = std::find(clients.begin(), clients.end(), client);
        if (it == clients.end()) return clients.size();
        clients.erase(it);
        leftDrops += lost;
        left = clients.size();
    }
    log("audio: client left (" + std::to_string(left) + " now; it lost " + std::to_string(lost) + " packets)");
    return left;
}

size_t AudioCapture::clientCount() {
    MutexLock guard(lock);
    return clients.size();
}

void AudioCapture::stop() {
    std::vector<std::shared_ptr<Client>> taken;
    {
        MutexLock guard(lock);
        if (!running) return;
        running = false;
        taken.swap(clients);
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
    source->stop();
    for (auto& client : taken) client->queue->close();
    log("audio: capture stopped after " + std::to_string(static_cast<int64_t>(wallSeconds() - startedAt)) + " s");
}

double AudioCapture::tapToSpeakerMs() {
    MutexLock guard(lock);
    return speakerMs;
}

double AudioCapture::zeroSince() {
    MutexLock guard(lock);
    return std::max(lastSoundUptime.value_or(0), startedUptime);
}

void AudioCapture::encodeLoop() {
    std::vector<float> left(OpusPacketEncoder::frames), right(OpusPacketEncoder::frames);
    std::optional<double> base;  // wall-clock ms of stream frame 0
    int64_t index = 0;
    bool noSamplesLogged = false;
    double windowStart = monotonicSeconds();
    const double rate = format.sampleRate;
    for (;;) {
        {
            MutexLock guard(lock);
            guard.waitFor(wake, std::chrono::milliseconds(10));
            if (!running) return;
        }
        int64_t nowNs = monotonicNs();
        ring->fillSilence(nowNs, format.silenceAfter);
        if (auto anchor = ring->takeAnchor()) {
            double candidate = wallSeconds() * 1000 - (nowNs - anchor->hostTime) / 1e6 - anchor->frame / rate * 1000;
            if (!base) {
                base = candidate;
            } else if (std::fabs(candidate - *base) > 20) {
                base = candidate;
                MutexLock guard(lock);
                ++reanchors;
            }
        }
        {
            MutexLock guard(lock);
            if (!firstIOAt && ring->callbacks() >= 1) {
                firstIOAt = wallSeconds();
                log("audio: first IO after " + seconds2(*firstIOAt - startedAt) + "s: (1 buffer(s) \u00d7 " +
                    std::to_string(format.channels) + " ch)");
            }
        }
        while (ring->read(left.data(), right.data(), OpusPacketEncoder::frames)) {
            float blockPeak = 0;
            for (int i = 0; i < OpusPacketEncoder::frames; ++i) {
                blockPeak = std::max(
                    {blockPeak, std::fabs(left[static_cast<size_t>(i)]), std::fabs(right[static_cast<size_t>(i)])});
            }
            std::string data = encoder->encode(left.data(), right.data());
            if (data.empty() || !base) continue;
            double timeMs =
                *base + (static_cast<double>(index) * OpusPacketEncoder::frames - encoder->primingFrames()) /
                            OpusPacketEncoder::sampleRate * 1000;
            deliver(AudioPacket{index, static_cast<int64_t>(std::llround(timeMs)), std::move(data), blockPeak == 0},
                    blockPeak);
            ++index;
        }
        if (!noSamplesLogged && ring->callbacks() == 0 && wallSeconds() - startedAt > 5) {
            noSamplesLogged = true;
            log("audio: no samples from the audio server 5 s after start; sending silence meanwhile");
        }
        double now = monotonicSeconds();
        if (now - windowStart >= 10) {
            MutexLock guard(lock);
            int64_t drops = leftDrops;
            for (auto& client : clients) drops += client->queue->dropped();
            if (!clients.empty()) {
                double seconds = now - windowStart;
                size_t count = clients.size();
                std::string line = "audio: " + std::to_string(count) + " client" + (count == 1 ? "" : "s") + ", " +
                                   std::to_string(windowPackets) + " packets in " +
                                   std::to_string(static_cast<int64_t>(std::llround(seconds))) + "s (" +
                                   fixed1(windowBytes * 8 / seconds / 1000) + " kbit/s), " + std::to_string(drops) +
                                   " dropped, peak " + fixed1(dbfs(peakWindow)) + " dBFS, ring overflow " +
                                   std::to_string(ring->skipped()) + " frames";
                guard.unlock();
                log(line);
                guard.lock();
            }
            windowPackets = windowBytes = 0;
            peakWindow = 0;
            windowStart = now;
        }
    }
}

void AudioCapture::deliver(AudioPacket packet, float blockPeak) {
    std::vector<std::shared_ptr<Client>> receivers;
    bool firstSound = false;
    double firstSoundWall = 0;
    {
        MutexLock guard(lock);
        ++packets;
        bytes += static_cast<int64_t>(packet.data.size());
        ++windowPackets;
        windowBytes += static_cast<int64_t>(packet.data.size());
        if (packet.silent) ++silentPackets;
        peak = std::max(peak, blockPeak);
        peakWindow = std::max(peakWindow, blockPeak);
        if (blockPeak > 0) {
            lastSoundUptime = monotonicSeconds();
            if (!firstSoundAt) {
                firstSoundAt = firstSoundWall = wallSeconds();
                firstSound = true;
            }
        }
        receivers = clients;
    }
    if (firstSound) log("audio: first sound " + seconds2(firstSoundWall - startedAt) + " s after start");
    for (auto& client : receivers) client->queue->push(packet);
}

nlohmann::json AudioCapture::statsJSON() {
    MutexLock guard(lock);
    double uptime = wallSeconds() - startedAt;
    int64_t drops = leftDrops;
    nlohmann::json queued = nlohmann::json::array();
    for (auto& client : clients) {
        drops += client->queue->dropped();
        queued.push_back(client->queue->pending());
    }
    auto since = [&](const std::optional<double>& at) {
        return at ? nlohmann::json(round1(*at - startedAt)) : nlohmann::json();
    };
    return {{"clients", clients.size()},
            {"packets", packets},
            {"bytes", bytes},
            {"silentPackets", silentPackets},
            {"drops", drops},
            {"queued", queued},
            {"peakDBFS", round1(dbfs(peak))},
            {"peakLast10sDBFS", round1(dbfs(peakWindow))},
            {"kbps", uptime > 0 ? round1(bytes * 8 / uptime / 1000) : 0.0},
            {"uptimeSeconds", round1(uptime)},
            {"firstIOSeconds", since(firstIOAt)},
            {"firstSoundSeconds", since(firstSoundAt)},
            {"reanchors", reanchors},
            {"ringOverflowFrames", ring->skipped()},
            {"ioCallbacks", ring->callbacks()},
            {"silenceFrames", ring->silenceFrames()},
            {"tapFormat", format.description},
            {"primingFrames", encoder->primingFrames()},
            {"bitRate", bitRate},
            {"zeroSeconds", round1(monotonicSeconds() - std::max(lastSoundUptime.value_or(0), startedUptime))},
            {"outputDevice", outputDevice ? nlohmann::json(*outputDevice) : nlohmann::json()},
            {"tapToSpeakerMs", std::round(speakerMs * 10) / 10}};
}

AudioCaptures::AudioCaptures(AudioSourceFactory makeSource, VideoCaptureLatency& latency,
                             std::shared_ptr<TaskQueue> queue, MonotonicClock clock)
    : makeSource(std::move(makeSource)), latency(latency), clock(std::move(clock)), queue(std::move(queue)) {}

AudioCaptures::~AudioCaptures() {
    queue->stopTimer();
    stopAll();
}

std::shared_ptr<AudioCapture::Client> AudioCaptures::subscribe() {
    std::optional<double> hold;
    {
        MutexLock guard(lock);
        hold = holdUntil;
    }
    if (hold && *hold > clock()) std::this_thread::sleep_for(std::chrono::duration<double>(*hold - clock()));
    std::shared_ptr<AudioCapture> capture;
    {
        MutexLock guard(lock);
        stopAt.reset();
        capture = current;
    }
    if (!capture) {
        try {
            // The capture learns of a lost server on the server's thread; the tear-down,
            // which stops that thread, runs on the queue.
            auto weak = std::make_shared<std::weak_ptr<AudioCapture>>();
            capture = std::make_shared<AudioCapture>(makeSource(), latency,
                                                     [this, weak] { queue->post([this, weak] { lost(*weak); }); });
            *weak = capture;
        } catch (const AudioError& error) {
            {
                MutexLock guard(lock);
                ++failures;
                lastError = error.what();
            }
            log(std::string("audio: cannot start: ") + error.what());
            throw;
        }
        std::shared_ptr<AudioCapture> extra;
        {
            MutexLock guard(lock);
            if (current) {
                extra = capture;  // another client started one meanwhile
                capture = current;
            } else {
                current = capture;
                ++starts;
                lastError.reset();
                lastSpeakerMs = capture->tapToSpeakerMs();
            }
        }
        if (extra) {
            extra->stop();
        } else if (deafness) {
            deafness->cache.clear();
            std::weak_ptr<AudioCapture> watched = capture;
            deafness->start(capture.get(), [watched]() -> std::optional<double> {
                if (auto c = watched.lock()) return c->zeroSince();
                return std::nullopt;
            });
        }
    }
    return capture->addClient();
}

void AudioCaptures::unsubscribe(const std::shared_ptr<AudioCapture::Client>& client) {
    client->queue->close();
    std::shared_ptr<AudioCapture> capture;
    {
        MutexLock guard(lock);
        capture = current;
    }
    if (!capture || capture->removeClient(client) > 0) return;
    MutexLock guard(lock);
    stopAt = clock() + stopDelay;
    if (!timerRunning) {
        timerRunning = true;
        queue->startTimer(std::chrono::milliseconds(250), [this] { checkPendingStop(); });
    }
}

void AudioCaptures::checkPendingStop() {
    std::shared_ptr<AudioCapture> stopping;
    {
        MutexLock guard(lock);
        if (!stopAt || clock() < *stopAt || !current || current->clientCount() > 0) return;
        stopping = std::move(current);
        stopAt.reset();
    }
    if (deafness) deafness->stop(stopping.get());
    stopping->stop();
    nlohmann::json stats = stopping->statsJSON();
    MutexLock guard(lock);
    lastStats = stats;
}

void AudioCaptures::lost(const std::weak_ptr<AudioCapture>& capture) {
    {
        MutexLock guard(lock);
        if (!current || current != capture.lock()) return;
    }
    {
        MutexLock guard(lock);
        ++serverLosses;
    }
    log("audio: the audio server went away; rebuilding the capture");
    tearDown("the audio server went away");
}

void AudioCaptures::tearDown(const std::string& reason) {
    std::shared_ptr<AudioCapture> capture;
    {
        MutexLock guard(lock);
        capture = std::move(current);
        stopAt.reset();
        holdUntil = clock() + holdAfterTearDown;
    }
    if (!capture) return;
    if (deafness) deafness->stop(capture.get());
    size_t count = capture->clientCount();
    capture->stop();
    nlohmann::json stats = capture->statsJSON();
    {
        MutexLock guard(lock);
        lastStats = stats;
    }
    log("audio: capture torn down after " + reason + " (" + std::to_string(count) + " client" +
        (count == 1 ? "" : "s") + " will reopen)");
}

void AudioCaptures::stopAll() {
    std::shared_ptr<AudioCapture> capture;
    {
        MutexLock guard(lock);
        capture = std::move(current);
    }
    if (!capture) return;
    if (deafness) deafness->stop(capture.get());
    capture->stop();
}

nlohmann::json AudioCaptures::statsJSON() {
    std::shared_ptr<AudioCapture> capture;
    nlohmann::json object;
    double speaker = AudioVideoOffset{}.tapToSpeakerMs;
    {
        MutexLock guard(lock);
        capture = current;
        speaker = lastSpeakerMs.value_or(speaker);
        object = {{"running", current != nullptr},
                  {"starts", starts},
                  {"failures", failures},
                  {"serviceRestarts", serverLosses}};
        if (lastError) object["lastError"] = *lastError;
        if (!capture && lastStats) object["last"] = *lastStats;
    }
    if (capture) object["capture"] = capture->statsJSON();
    if (capture) speaker = capture->tapToSpeakerMs();
    object["videoOffset"] = AudioVideoOffset{speaker, latency.latencyMs()}.json();
    if (deafness) object["watchdog"] = deafness->statsJSON();
    return object;
}

}  // namespace tovo
