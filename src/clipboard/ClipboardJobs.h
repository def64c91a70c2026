#pragma once

#include "base/Mutex.h"

#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>

namespace tovo {

// The work callers hand a clipboard backend's own thread (the one that owns its connection)
// and the pipe that wakes that thread for it.
//
// Threads: call() from any thread; take(), wakeFd(), drainWake() and finish() from the
// backend's thread only. end() from the owner, before it joins the thread.
class ClipboardJobs {
public:
    // A job runs with whether the backend is connected; unconnected, it answers its fallback.
    using Job = std::function<void(bool connected)>;

    ClipboardJobs();
    ~ClipboardJobs();
    ClipboardJobs(const ClipboardJobs&) = delete;
    ClipboardJobs& operator=(const ClipboardJobs&) = delete;

    // Runs `job` on the backend's thread and waits for its answer: `fallback` without a
    // connection, once ending, or after a generous bound.
    template <typename T>
    T call(T fallback, std::function<T()> job) {
        auto promise = std::make_shared<std::promise<T>>();
        std::future<T> answer = promise->get_future();
        if (!post([promise, fallback, job = std::move(job)](bool connected) {
                promise->set_value(connected ? job() : fallback);
            }))
            return fallback;
        if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return fallback;
        return answer.get();
    }

    // The jobs posted since the last call into `batch`; false once ending.
    bool take(std::deque<Job>& batch);
    // Readable while jobs wait; drainWake() empties it.
    int wakeFd() const { return pipe[0]; }
    void drainWake();
    // No more jobs: wakes the thread, whose take() then says so.
    void end();
    // On the thread as it ends: whoever still waits gets the fallback.
    void finish();

private:
    bool post(Job job);
    void wake();

    int pipe[2] = {-1, -1};
    Mutex lock;  // guards jobs and ending
    std::deque<Job> jobs TOVO_GUARDED_BY(lock);
    bool ending TOVO_GUARDED_BY(lock) = false;
};

}  // namespace tovo
