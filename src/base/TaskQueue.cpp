#include "base/TaskQueue.h"

#include "base/Mutex.h"

#include <pthread.h>

namespace tovo {

SerialTaskQueue::SerialTaskQueue(std::string label) : state(std::make_shared<State>()) {
    state->label = std::move(label);
}

SerialTaskQueue::~SerialTaskQueue() {
    {
        MutexLock guard(state->lock);
        state->ending = true;
        state->jobs.clear();
    }
    state->wake.notify_all();
    if (!worker.joinable()) return;
    if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();  // destroyed from one of our own jobs: the thread ends after it
    } else {
        worker.join();
    }
}

// Notifying under the lock: once it is released, the job may run and may even end this
// queue, so `this` is not touched afterwards.
void SerialTaskQueue::post(std::function<void()> job) {
    MutexLock guard(state->lock);
    state->jobs.push_back(std::move(job));
    ensureThread();
    state->wake.notify_all();
}

void SerialTaskQueue::startTimer(std::chrono::milliseconds interval, std::function<void()> handler) {
    MutexLock guard(state->lock);
    state->tick = std::move(handler);
    state->period = interval;
    state->nextTick = std::chrono::steady_clock::now();
    ensureThread();
    state->wake.notify_all();
}

void SerialTaskQueue::stopTimer() {
    MutexLock guard(state->lock);
    state->nextTick.reset();
    state->tick = nullptr;
}

void SerialTaskQueue::ensureThread() {
    if (!worker.joinable()) worker = std::thread([s = state] { run(s); });
}

void SerialTaskQueue::run(const std::shared_ptr<State>& state) {
    pthread_setname_np(pthread_self(), state->label.substr(0, 15).c_str());
    MutexLock guard(state->lock);
    for (;;) {
        if (state->ending) return;
        if (!state->jobs.empty()) {
            auto job = std::move(state->jobs.front());
            state->jobs.pop_front();
            guard.unlock();
            job();
            job = nullptr;  // whatever the job held is released before the lock is taken again
            guard.lock();
            continue;
        }
        auto& nextTick = state->nextTick;
        if (nextTick && std::chrono::steady_clock::now() >= *nextTick) {
            // The next tick is planned from this one, not from when it ends; a late tick is
            // not repeated to catch up.
            *nextTick += state->period;
            auto now = std::chrono::steady_clock::now();
            if (*nextTick < now) *nextTick = now + state->period;
            auto handler = state->tick;
            guard.unlock();
            handler();
            handler = nullptr;
            guard.lock();
            continue;
        }
        if (nextTick) {
            guard.waitUntil(state->wake, *nextTick);
        } else {
            guard.wait(state->wake);
        }
    }
}

}  // namespace tovo
