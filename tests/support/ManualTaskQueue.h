#pragma once

#include "base/TaskQueue.h"

#include <deque>
#include <functional>

namespace tovo::test {

// A TaskQueue that runs nothing by itself: the test runs posted jobs and timer ticks when
// it chooses, on its own thread, and can see what is waiting.
class ManualTaskQueue : public TaskQueue {
public:
    void post(std::function<void()> job) override { jobs.push_back(std::move(job)); }
    void startTimer(std::chrono::milliseconds interval, std::function<void()> handler) override {
        period = interval;
        tick = std::move(handler);
    }
    void stopTimer() override { tick = nullptr; }

    // Runs the jobs posted so far (and any they post), returns how many ran.
    int runJobs() {
        int ran = 0;
        while (!jobs.empty()) {
            auto job = std::move(jobs.front());
            jobs.pop_front();
            job();
            ++ran;
        }
        return ran;
    }
    void fireTimer() {
        if (tick) tick();
    }
    bool timerRunning() const { return static_cast<bool>(tick); }

    std::deque<std::function<void()>> jobs;
    std::function<void()> tick;
    std::chrono::milliseconds period{0};
};

}  // namespace tovo::test
