#include "input/PointerHold.h"

#include "base/Clock.h"
#include "input/Input.h"
#include "service/ScreenHost.h"

namespace tovo {

PointerHolds& PointerHolds::shared() {
    static PointerHolds* holds = new PointerHolds(monotonicSeconds);  // lives for the process
    return *holds;
}

PointerHolds::PointerHolds(Clock now, std::shared_ptr<TaskQueue> queue) : now(std::move(now)), queue(std::move(queue)) {}

void PointerHolds::hold(uint32_t display, const std::string& route, double x, double y, Release release) {
    std::optional<Hold> replaced;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (auto it = holds.find(display); it != holds.end()) replaced = std::move(it->second);
        holds[display] = Hold{route, x, y, now(), std::move(release)};
        startTimerLocked();
    }
    if (replaced && replaced->route != cgRoute && replaced->release) replaced->release(replaced->x, replaced->y);
}

void PointerHolds::unhold(uint32_t display, double x, double y) {
    std::optional<Hold> removed;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (auto it = holds.find(display); it != holds.end()) {
            removed = std::move(it->second);
            holds.erase(it);
        }
        stopTimerIfIdleLocked();
    }
    if (removed && removed->route != cgRoute && removed->release) removed->release(x, y);
}

void PointerHolds::moved(uint32_t display, double x, double y) {
    std::lock_guard<std::mutex> guard(lock);
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
        std::lock_guard<std::mutex> guard(lock);
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
        ScreenHost::logSink("input: left button held on display " + std::to_string(display) +
                            " for 10 s without a move or up; releasing it (" + hold.route + ")");
        if (hold.release) hold.release(hold.x, hold.y);
        released.push_back(display);
    }
    return released;
}

std::vector<uint32_t> PointerHolds::releaseAll(const std::string& reason) {
    std::map<uint32_t, Hold> taken;
    {
        std::lock_guard<std::mutex> guard(lock);
        taken.swap(holds);
        stopTimerIfIdleLocked();
    }
    std::vector<uint32_t> released;
    for (auto& [display, hold] : taken) {
        ScreenHost::logSink("input: " + reason + " with the left button held on display " + std::to_string(display) +
                            "; releasing it (" + hold.route + ")");
        if (hold.release) hold.release(hold.x, hold.y);
        released.push_back(display);
    }
    return released;
}

void PointerHolds::streamOpened() {
    std::lock_guard<std::mutex> guard(lock);
    ++streams;
}

void PointerHolds::streamClosed() {
    bool anyHeld;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (streams > 0) --streams;
        if (streams > 0) return;
        anyHeld = !holds.empty();
    }
    if (anyHeld) releaseAll("the last stream closed");
}

size_t PointerHolds::count() {
    std::lock_guard<std::mutex> guard(lock);
    return holds.size();
}

int PointerHolds::openStreams() {
    std::lock_guard<std::mutex> guard(lock);
    return streams;
}

void PointerHolds::startTimerLocked() {
    if (timerRunning) return;
    timerRunning = true;
    // The registry outlives its timer: shared() is never destroyed and test instances stop
    // their queue before they go.
    queue->startTimer(checkInterval, [this] { expire(); });
}

void PointerHolds::stopTimerIfIdleLocked() {
    if (!holds.empty() || !timerRunning) return;
    timerRunning = false;
    queue->stopTimer();
}

PointerHolds::Release PointerHolds::cgRelease(uint32_t display) {
    return [display](double x, double y) {
        std::optional<Input::Point> at;
        try {
            at = Input::globalPoint(x, y, display);
        } catch (const std::exception&) {
            // The display is gone; the button still goes up where the pointer is.
        }
        uint64_t flags = CGButtonState::shared().held();
        CGButtonState::shared().clear();
        Input::injector().setModifiers(flags);
        if (at) Input::injector().moveTo(at->x, at->y);
        Input::injector().button(MouseButton::left, false);
        Input::injector().setModifiers(0);
    };
}

}  // namespace tovo
