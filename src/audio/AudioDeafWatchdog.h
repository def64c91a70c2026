#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "base/TaskQueue.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The outcome of playing an inaudible tone through a separate player and listening to that
// stream alone.
struct AudioTapCheck {
    enum class Result { hears, deaf, failed };
    Result result = Result::failed;
    std::string detail;
};
const char* toString(AudioTapCheck::Result result);

// What the watchdog asks of the audio server. Callable from the watchdog's queue.
class AudioServerProbe {
public:
    // An unpaused stream on the server and the process it belongs to.
    struct Playing {
        int pid = 0;
        std::optional<unsigned> user;  // the process's user, when it could be read
    };
    virtual ~AudioServerProbe() = default;
    virtual std::vector<Playing> playing() = 0;
    // The tone player's process while a check runs, else 0.
    virtual int testPlayer() = 0;
    // Runs one tap check (several seconds).
    virtual AudioTapCheck check() = 0;
};

// Whether anybody else of this user plays: streams of this process (`self`), of the tone
// player and of other users (or of processes whose user is unknown) do not count.
bool othersPlaying(const std::vector<AudioServerProbe::Playing>& streams, int self, unsigned user, int player);

// One tap check at a time; a result is reused for 120 s when the tap hears, 30 s otherwise.
class AudioTapCheckCache {
public:
    struct Entry {
        AudioTapCheck check;
        double at = 0;  // monotonic seconds
        int serial = 0;
    };
    Entry current(AudioServerProbe& probe, double now);
    void clear();

private:
    Mutex running;  // serialises checks
    Mutex lock;     // guards entry and serial
    std::optional<Entry> entry TOVO_GUARDED_BY(lock);
    int serial TOVO_GUARDED_BY(lock) = 0;
};

// Watches the running capture: when it reads only zeros for 4 s while other processes of
// this user play, a tap check decides whether this process's capture is deaf; then the
// capture is torn down (at most every 600 s), or the host is asked for a fresh process (at
// most once per 900 s across processes, by a stamp file).
//
// Threads: ticks on `queue`; start, stop and statsJSON from any thread; hooks run after
// the lock is released.
class AudioDeafWatchdog {
public:
    struct Hooks {
        std::function<void(const std::string& reason)> tearDown;
        std::function<void()> onDeaf;  // the host's fresh process; none: tear down instead
    };
    static constexpr std::chrono::milliseconds tickInterval{2000};

    AudioDeafWatchdog(AudioServerProbe& probe, Hooks hooks, std::shared_ptr<TaskQueue> queue, std::string stampPath,
                      MonotonicClock clock = monotonicSeconds, MonotonicClock wall = wallSeconds);
    ~AudioDeafWatchdog();

    // `zeroSince`: the monotonic seconds since which the capture read only zeros.
    void start(const void* owner, std::function<std::optional<double>()> zeroSince);
    void stop(const void* owner);
    void tick();
    nlohmann::json statsJSON();

    AudioTapCheckCache cache;

private:
    // What a tick found, acted on after the lock is released.
    struct Verdict {
        std::vector<std::string> lines;
        std::optional<std::string> tearDownReason;
        bool handOver = false;
    };
    // The time since which the watched capture read only zeros, when others of this user
    // have played for 4 s of it; `watched` and `now` are set on the way.
    std::optional<double> zerosWhileOthersPlay(const void*& watched, double& now);
    // Under `lock`: what the tap check's result means now.
    Verdict judge(const AudioTapCheck& check, const std::string& zerosText, double now) TOVO_REQUIRES(lock);
    // Under `lock`: a deaf capture with a host hands over unless one did less than 15 min
    // ago (the stamp file says), in any process.
    void handOverOrKeepOn(Verdict& verdict, const std::string& detail, const std::string& zerosText)
        TOVO_REQUIRES(lock);

    AudioServerProbe& probe;
    const Hooks hooks;
    const std::string stampPath;
    const MonotonicClock clock, wall;
    Mutex lock;  // guards everything below
    const void* owner = nullptr;
    std::function<std::optional<double>()> zeroSince TOVO_GUARDED_BY(lock);
    bool timerRunning TOVO_GUARDED_BY(lock) = false;
    std::optional<double> othersSince TOVO_GUARDED_BY(lock);
    int checks TOVO_GUARDED_BY(lock) = 0;
    int deaf TOVO_GUARDED_BY(lock) = 0;
    int exits TOVO_GUARDED_BY(lock) = 0;
    int suppressed TOVO_GUARDED_BY(lock) = 0;
    int teardowns TOVO_GUARDED_BY(lock) = 0;
    std::optional<AudioTapCheck::Result> lastResult TOVO_GUARDED_BY(lock);
    std::optional<double> lastAt TOVO_GUARDED_BY(lock);
    std::optional<double> lastTeardown TOVO_GUARDED_BY(lock);
    std::optional<int> judgedSerial TOVO_GUARDED_BY(lock);
    bool failedLogged TOVO_GUARDED_BY(lock) = false;
    bool suppressLogged TOVO_GUARDED_BY(lock) = false;
    // Last, so that its thread ends before the fields a tick reads.
    const std::shared_ptr<TaskQueue> queue;
};

}  // namespace tovo
