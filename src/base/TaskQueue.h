#pragma once

#include "base/Mutex.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tovo {

// A serial queue: posted jobs and the ticks of one repeating timer run one at a time, in
// order, on the queue's own thread. Components take it as an interface so that tests can
// drive jobs and ticks by hand.
class TaskQueue {
public:
    virtual ~TaskQueue() = default;
    // Runs `job` later on the queue.
    virtual void post(std::function<void()> job) = 0;
    // Starts the repeating timer: first tick at once, then every `period`. Replaces any
    // earlier timer.
    virtual void startTimer(std::chrono::milliseconds period, std::function<void()> tick) = 0;
    // Cancels the timer; a tick already running finishes.
    virtual void stopTimer() = 0;
};

// TaskQueue on a thread of its own, started with the first job or timer. The destructor
// drops jobs not yet run and ends the thread: it joins it, or, when the last owner lets go
// from inside one of the queue's own jobs, lets it finish on its own.
class SerialTaskQueue final : public TaskQueue {
public:
    explicit SerialTaskQueue(std::string label);
    ~SerialTaskQueue() override;

    void post(std::function<void()> job) override;
    void startTimer(std::chrono::milliseconds period, std::function<void()> tick) override;
    void stopTimer() override;

private:
    // Shared with the thread, so that it outlives this object when the thread has to.
    struct State {
        std::string label;
        Mutex lock;  // guards everything below
        std::condition_variable wake;
        std::deque<std::function<void()>> jobs TOVO_GUARDED_BY(lock);
        std::function<void()> tick TOVO_GUARDED_BY(lock);
        std::chrono::milliseconds period TOVO_GUARDED_BY(lock){0};
        std::optional<std::chrono::steady_clock::time_point> nextTick TOVO_GUARDED_BY(lock);
        bool ending TOVO_GUARDED_BY(lock) = false;
    };
    static void run(const std::shared_ptr<State>& state);
    void ensureThread();  // call with state->lock held

    const std::shared_ptr<State> state;
    std::thread worker;  // touched under state->lock, or by the destructor
};

}  // namespace tovo
