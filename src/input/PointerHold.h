#pragma once

#include "base/Mutex.h"
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
// goes quiet for 10 s, when the last video stream closes (for buttons pressed while one
// was open), or when control changes hands.
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
        // Pressed while a stream was open: the last stream closing releases it. A client that
        // presses without watching a stream is not tied to anybody else's stream.
        bool whileStreaming = false;
    };

    static constexpr double timeout = 10.0;
    static constexpr std::chrono::milliseconds checkInterval{500};
    // The route of a button held through POST /input: its release is posted only when the
    // hold expires or is released for everybody, since an up through /input posts itself.
    static inline const std::string inputRoute = "input";

    explicit PointerHolds(Clock now,
                          std::shared_ptr<TaskQueue> queue = std::make_shared<SerialTaskQueue>("tovo-holds"));
    ~PointerHolds();

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

    // Drops the holds of `route` without releasing them (their owner goes away).
    void forget(const std::string& route);

    size_t count();
    int openStreams();

private:
    static void releaseTaken(std::map<uint32_t, Hold>& taken, const std::string& reason);
    void startTimerLocked() TOVO_REQUIRES(lock);
    void stopTimerIfIdleLocked() TOVO_REQUIRES(lock);

    const Clock now;
    Mutex lock;  // guards the fields below
    std::map<uint32_t, Hold> holds TOVO_GUARDED_BY(lock);
    int streams TOVO_GUARDED_BY(lock) = 0;
    bool timerRunning TOVO_GUARDED_BY(lock) = false;
    // Last, so that it goes first: its thread ends before the fields a tick reads.
    const std::shared_ptr<TaskQueue> queue;
};

}  // namespace tovo
