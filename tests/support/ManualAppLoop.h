#pragma once

#include "app/AppLoop.h"

#include <deque>
#include <map>
#include <mutex>

namespace tovo::test {

// An app loop the test drives: posted jobs run when the test says, timers fire when the
// test moves the clock on.
class ManualAppLoop : public AppLoop {
public:
    void post(std::function<void()> job) override {
        std::lock_guard<std::mutex> guard(lock);
        jobs.push_back(std::move(job));
    }
    TimerId after(double seconds, std::function<void()> job) override { return add(seconds, std::move(job), 0); }
    TimerId every(double seconds, std::function<void()> job) override { return add(seconds, std::move(job), seconds); }
    void cancel(TimerId id) override { timers.erase(id); }
    double now() override { return clock; }
    void quit() override { quitAsked = true; }

    // Runs the jobs posted so far (and those they post).
    void runPosted() {
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (jobs.empty()) return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }
    // Moves the clock on, firing due timers in time order, and runs posted jobs.
    void advance(double seconds) {
        const double end = clock + seconds;
        for (;;) {
            runPosted();
            auto next = timers.end();
            for (auto it = timers.begin(); it != timers.end(); ++it) {
                if (it->second.due <= end && (next == timers.end() || it->second.due < next->second.due)) next = it;
            }
            if (next == timers.end()) break;
            clock = next->second.due;
            auto job = next->second.job;
            if (next->second.period > 0) {
                next->second.due += next->second.period;
            } else {
                timers.erase(next);
            }
            job();
        }
        clock = end;
        runPosted();
    }
    size_t pendingTimers() const { return timers.size(); }
    bool quitAsked = false;

private:
    struct Timer {
        double due;
        double period;
        std::function<void()> job;
    };
    TimerId add(double seconds, std::function<void()> job, double period) {
        timers[++lastId] = Timer{clock + seconds, period, std::move(job)};
        return lastId;
    }
    double clock = 1000;
    TimerId lastId = 0;
    std::map<TimerId, Timer> timers;
    std::mutex lock;  // guards jobs (posted from other threads)
    std::deque<std::function<void()>> jobs;
};

}  // namespace tovo::test
