#include "audio/AudioDeafWatchdog.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>

namespace tovo {

const char* toString(AudioTapCheck::Result result) {
    switch (result) {
    case AudioTapCheck::Result::hears: return "hears";
    case AudioTapCheck::Result::deaf: return "deaf";
    case AudioTapCheck::Result::failed: return "failed";
    }
    return "failed";
}

bool othersPlaying(const std::vector<AudioServerProbe::Playing>& streams, int self, unsigned user, int player) {
    for (const auto& stream : streams) {
        if (stream.pid <= 0 || stream.pid == self || stream.pid == player) continue;
        if (stream.user && *stream.user == user) return true;
    }
    return false;
}

AudioTapCheckCache::Entry AudioTapCheckCache::current(AudioServerProbe& probe, double now) {
    MutexLock one(running);
    {
        MutexLock guard(lock);
        if (entry) {
            double maxAge = entry->check.result == AudioTapCheck::Result::hears ? 120 : 30;
            if (now - entry->at < maxAge) return *entry;
        }
    }
    AudioTapCheck check = probe.check();
    MutexLock guard(lock);
    entry = Entry{check, now, ++serial};
    return *entry;
}

void AudioTapCheckCache::clear() {
    MutexLock guard(lock);
    entry.reset();
}

AudioDeafWatchdog::AudioDeafWatchdog(AudioServerProbe& probe, Hooks hooks, std::shared_ptr<TaskQueue> queue,
                                     std::string stampPath, MonotonicClock clock, MonotonicClock wall)
    : probe(probe),
      hooks(std::move(hooks)),
      stampPath(std::move(stampPath)),
      clock(std::move(clock)),
      wall(std::move(wall)),
      queue(std::move(queue)) {}

AudioDeafWatchdog::~AudioDeafWatchdog() { queue->stopTimer(); }

void AudioDeafWatchdog::start(const void* capture, std::function<std::optional<double>()> since) {
    MutexLock guard(lock);
    owner = capture;
    zeroSince = std::move(since);
    if (!timerRunning) {
        timerRunning = true;
        queue->startTimer(tickInterval, [this] { tick(); });
    }
}

void AudioDeafWatchdog::stop(const void* capture) {
    MutexLock guard(lock);
    if (owner != capture) return;
    owner = nullptr;
    zeroSince = nullptr;
    // The timer ticks on, idle, until the next capture: a tick cannot stop its own timer.
}

std::optional<double> AudioDeafWatchdog::zerosWhileOthersPlay(const void*& watched, double& now) {
    std::function<std::optional<double>()> since;
    {
        MutexLock guard(lock);
        watched = owner;
        since = zeroSince;
    }
    if (!watched || !since) return std::nullopt;
    std::optional<double> zeros = since();
    if (!zeros) return std::nullopt;
    if (!othersPlaying(probe.playing(), static_cast<int>(::getpid()), static_cast<unsigned>(::getuid()),
                       probe.testPlayer())) {
        MutexLock guard(lock);
        othersSince.reset();
        return std::nullopt;
    }
    now = clock();
    double silentFor;
    {
        MutexLock guard(lock);
        if (!othersSince) othersSince = now;
        silentFor = now - std::max(*othersSince, *zeros);
    }
    if (silentFor < 4.0) return std::nullopt;
    return zeros;
}

void AudioDeafWatchdog::tick() {
    const void* watched = nullptr;
    double now = 0;
    std::optional<double> zeros = zerosWhileOthersPlay(watched, now);
    if (!zeros) return;
    AudioTapCheckCache::Entry entry = cache.current(probe, now);
    char zerosText[32];
    std::snprintf(zerosText, sizeof zerosText, "%.0f", clock() - *zeros);
    Verdict verdict;
    {
        MutexLock guard(lock);
        if (owner != watched || judgedSerial == entry.serial) return;
        judgedSerial = entry.serial;
        ++checks;
        lastResult = entry.check.result;
        lastAt = now;
        verdict = judge(entry.check, zerosText, now);
    }
    for (const auto& line : verdict.lines) log(line);
    if (verdict.tearDownReason && hooks.tearDown) hooks.tearDown(*verdict.tearDownReason);
    if (verdict.handOver) hooks.onDeaf();
}

AudioDeafWatchdog::Verdict AudioDeafWatchdog::judge(const AudioTapCheck& check, const std::string& zerosText,
                                                    double now) {
    Verdict verdict;
    switch (check.result) {
    case AudioTapCheck::Result::hears: failedLogged = suppressLogged = false; break;
    case AudioTapCheck::Result::failed:
        if (!failedLogged) {
            verdict.lines.push_back("audio: watchdog: the capture read " + zerosText +
                                    " s of zeros while others play, but no tap check (" + check.detail +
                                    "); doing nothing");
        }
        failedLogged = true;
        break;
    case AudioTapCheck::Result::deaf:
        failedLogged = false;
        ++deaf;
        if (hooks.onDeaf) {
            handOverOrKeepOn(verdict, check.detail, zerosText);
        } else if (!lastTeardown || now - *lastTeardown >= 600) {
            lastTeardown = now;
            ++teardowns;
            verdict.lines.push_back("audio: watchdog: the capture read " + zerosText +
                                    " s of zeros while others play and a fresh test sound is not heard (" +
                                    check.detail + "); tearing it down");
            verdict.lines.push_back(
                "audio: this process's capture is deaf; restart the app if the sound does not come back");
            verdict.tearDownReason = "the watchdog found this process's capture deaf";
        }
        break;
    }
    return verdict;
}

void AudioDeafWatchdog::handOverOrKeepOn(Verdict& verdict, const std::string& detail, const std::string& zerosText) {
    std::optional<double> stamp;
    if (std::ifstream in(stampPath); in) {
        double value;
        if (in >> value && std::isfinite(value)) stamp = value;
    }
    double age = stamp ? wall() - *stamp : -1;
    if (stamp && age >= 0 && age < 900) {
        ++suppressed;
        if (!suppressLogged) {
            verdict.lines.push_back("audio: watchdog: this process's capture is deaf (" + detail +
                                    "), but a helper already exited for that less than 15 min ago, so a restart "
                                    "does not help; keeping on");
        }
        suppressLogged = true;
        return;
    }
    ++exits;
    char text[64];
    std::snprintf(text, sizeof text, "%.3f\n", wall());
    std::ofstream(stampPath) << text;
    verdict.lines.push_back("audio: watchdog: this process's capture is deaf (" + zerosText +
                            " s of zeros while others play; " + detail +
                            "); handing over to the host (a fresh process)");
    verdict.handOver = true;
}

nlohmann::json AudioDeafWatchdog::statsJSON() {
    MutexLock guard(lock);
    return {{"running", owner != nullptr},
            {"checks", checks},
            {"deaf", deaf},
            {"exits", exits},
            {"suppressed", suppressed},
            {"teardowns", teardowns},
            {"lastResult", lastResult ? nlohmann::json(toString(*lastResult)) : nlohmann::json()},
            {"lastAgoSeconds", lastAt ? nlohmann::json(std::round((clock() - *lastAt) * 10) / 10) : nlohmann::json()}};
}

}  // namespace tovo
