#pragma once

#include "base/TaskQueue.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tovo {

// Remembers each button a client holds down, per display, and releases it when the client
// goes quiet for 10 s, when the last video stream closes, or when control changes hands.
//
// Threads: any. Releases always run after the lock is released, each by exactly one caller.
class PointerHolds {
public:
    using Release = std::function<void(double x, double y)>;
    using Clock = std::function<double()>;  // monotonic seconds

    struct Hold {
        std::string route;
        double x = 0;
        double y = 0;
        double lastActivity = 0;
        Release release;
    };

    static constexpr double timeout = 10.0;
    static constexpr std::chrono::milliseconds checkInterval{500};
    static inline const std::string cgRoute = "cg";

    static PointerHolds& shared();
    explicit PointerHolds(Clock now, std::shared_ptr<TaskQueue> queue = std::make_shared<SerialTaskQueue>("tovo-holds"));

    // Registers a held button; a replaced hold of another route is released at its place.
    void hold(uint32_t display, const std::string& route, double x, double y, Release release);
    // The button went up through the same path; a removed hold of another route is released
    // at (x, y).
    void unhold(uint32_t display, double x, double y);
    void moved(uint32_t display, double x, double y);
    // Releases holds idle for 10 s or more; their displays, ascending.
    std::vector<uint32_t> expire();
    std::vector<uint32_t> releaseAll(const std::string& reason);

    void streamOpened();
    void streamClosed();

    size_t count();
    int openStreams();

    // The release action of a button pressed through POST /input.
    static Release cgRelease(uint32_t display);

private:
    void startTimerLocked();
    void stopTimerIfIdleLocked();

    const Clock now;
    const std::shared_ptr<TaskQueue> queue;
    std::mutex lock;  // guards the fields below
    std::map<uint32_t, Hold> holds;
    int streams = 0;
    bool timerRunning = false;
};

}  // namespace tovo
