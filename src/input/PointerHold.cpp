#include "input/PointerHold.h"

#include "base/Log.h"
#include "base/Mutex.h"

namespace tovo {

PointerHolds::PointerHolds(Clock now, std::shared_ptr<TaskQueue> queue)
    : now(std::move(now)), queue(std::move(queue)) {}

PointerHolds::~PointerHolds() { queue->stopTimer(); }

void PointerHolds::forget(const std::string& route) {
    MutexLock guard(lock);
    std::erase_if(holds, [&](const auto& entry) { return entry.second.route == route; });
    stopTimerIfIdleLocked();
}

void PointerHolds::hold(uint32_t display, const std::string& route, double x, double y, Release release) {
    std::optional<Hold> replaced;
    {
        MutexLock guard(lock);
        if (auto it = holds.find(display); it != holds.end()) replaced = std::move(it->second);
        holds[display] = Hold{route, x, y, now(), std::move(release), streams > 0};
        startTimerLocked();
    }
    if (replaced && replaced->route != inputRoute && replaced->release) replaced->release(replaced->x, replaced->y);
}

void PointerHolds::unhold(uint32_t display, double x, double y) {
    std::optional<Hold> removed;
    {
        MutexLock guard(lock);
        if (auto it = holds.find(display); it != holds.end()) {
            removed = std::move(it->second);
            holds.erase(it);
        }
        stopTimerIfIdleLocked();
    }
    if (removed && removed->route != inputRoute && removed->release) removed->release(x, y);
}

void PointerHolds::moved(uint32_t display, double x, double y) {
    MutexLock guard(lock);
    if (auto it = holds.find(display); it != holds.end()) {
        it->second.x = x;
        it->second.y = y;
        it->second.lastActivity = now();
    }
}

std::vector<uint32_t> PointerHolds::expire() {
    double t = now();
    std::map<uint32_t, Hold> expired;
    {
        MutexLock guard(lock);
        for (auto it = holds.begin(); it != holds.end();) {
            if (t - it->second.lastActivity >= timeout) {
                expired.insert(holds.extract(it++));
            } else {
                ++it;
            }
        }
        stopTimerIfIdleLocked();
    }
    std::vector<uint32_t> released;
    for (auto& [display, hold] : expired) {
        log("input: left button held on display " + std::to_string(display) +
            " for 10 s without a move or up; releasing it (" + hold.route + ")");
        if (hold.release) hold.release(hold.x, hold.y);
        released.push_back(display);
    }
    return released;
}

std::vector<uint32_t> PointerHolds::releaseAll(const std::string& reason) {
    std::map<uint32_t, Hold> taken;
    {
        MutexLock guard(lock);
        taken.swap(holds);
        stopTimerIfIdleLocked();
    }
    std::vector<uint32_t> released;
    for (const auto& entry : taken) released.push_back(entry.first);
    releaseTaken(taken, reason);
    return released;
}

void PointerHolds::streamOpened() {
    MutexLock guard(lock);
    ++streams;
}

void PointerHolds::streamClosed() {
    std::map<uint32_t, Hold> taken;
    {
        MutexLock guard(lock);
        if (streams > 0) --streams;
        if (streams > 0) return;
        for (auto it = holds.begin(); it != holds.end();) {
            if (it->second.whileStreaming) {
                taken.insert(holds.extract(it++));
            } else {
                ++it;
            }
        }
        stopTimerIfIdleLocked();
    }
    releaseTaken(taken, "the last stream closed");
}

void PointerHolds::releaseTaken(std::map<uint32_t, Hold>& taken, const std::string& reason) {
    for (auto& [display, hold] : taken) {
        log("input: " + reason + " with the left button held on display " + std::to_string(display) +
            "; releasing it (" + hold.route + ")");
        if (hold.release) hold.release(hold.x, hold.y);
    }
}

size_t PointerHolds::count() {
    MutexLock guard(lock);
    return holds.size();
}

int PointerHolds::openStreams() {
    MutexLock guard(lock);
    return streams;
}

void PointerHolds::startTimerLocked() {
    if (timerRunning) return;
    timerRunning = true;
    // The registry outlives its timer: the queue is its last member, so its thread ends first.
    queue->startTimer(checkInterval, [this] { expire(); });
}

void PointerHolds::stopTimerIfIdleLocked() {
    if (!holds.empty() || !timerRunning) return;
    timerRunning = false;
    queue->stopTimer();
}

}  // namespace tovo
