#include "base/TaskQueue.h"

#include <pthread.h>

namespace tovo {

SerialTaskQueue::~SerialTaskQueue() {
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    wake.notify_all();
    if (worker.joinable()) worker.join();
}

void SerialTaskQueue::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> guard(lock);
        jobs.push_back(std::move(job));
        ensureThread();
    }
    wake.notify_all();
}

void SerialTaskQueue::startTimer(std::chrono::milliseconds interval, std::function<void()> handler) {
    {
        std::lock_guard<std::mutex> guard(lock);
        tick = std::move(handler);
        period = interval;
        nextTick = std::chrono::steady_clock::now();
        ensureThread();
    }
    wake.notify_all();
}

void SerialTaskQueue::stopTimer() {
    std::lock_guard<std::mutex> guard(lock);
    nextTick.reset();
    tick = nullptr;
}

void SerialTaskQueue::ensureThread() {
    if (!worker.joinable()) worker = std::thread([this] { run(); });
}

void SerialTaskQueue::run() {
    pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        if (ending) return;
        if (!jobs.empty()) {
            auto job = std::move(jobs.front());
            jobs.pop_front();
            guard.unlock();
            job();
            guard.lock();
            continue;
        }
        if (nextTick && std::chrono::steady_clock::now() >= *nextTick) {
            // The next tick is planned from this one, not from when it ends; a late tick is
            // not repeated to catch up.
            *nextTick += period;
            auto now = std::chrono::steady_clock::now();
            if (*nextTick < now) *nextTick = now + period;
            auto handler = tick;
            guard.unlock();
            handler();
            guard.lock();
            continue;
        }
        if (nextTick) {
            wake.wait_until(guard, *nextTick);
        } else {
            wake.wait(guard);
        }
    }
}

}  // namespace tovo
