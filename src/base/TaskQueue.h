#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
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

// TaskQueue on a thread of its own, started with the first job or timer and joined by the
// destructor (which drops jobs not yet run). Never destroy it from its own thread.
class SerialTaskQueue final : public TaskQueue {
public:
    explicit SerialTaskQueue(std::string label) : label(std::move(label)) {}
    ~SerialTaskQueue() override;

    void post(std::function<void()> job) override;
    void startTimer(std::chrono::milliseconds period, std::function<void()> tick) override;
    void stopTimer() override;

    const std::string label;

private:
    void ensureThread();  // call with `lock` held
    void run();

    std::mutex lock;  // guards everything below
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    std::function<void()> tick;
    std::chrono::milliseconds period{0};
    std::optional<std::chrono::steady_clock::time_point> nextTick;
    bool ending = false;
    std::thread worker;
};

}  // namespace tovo
