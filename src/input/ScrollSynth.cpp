#include "input/ScrollSynth.h"

#include "base/Log.h"

#include <cmath>

namespace tovo {

std::pair<int, int> WheelClicks::add(int dx, int dy) {
    x += dx;
    y += dy;
    int cx = static_cast<int>(std::trunc(x / pixelsPerClick));
    int cy = static_cast<int>(std::trunc(y / pixelsPerClick));
    x -= cx * pixelsPerClick;
    y -= cy * pixelsPerClick;
    return {cx, cy};
}

ScrollSynth::ScrollSynth(std::string name, InputInjector& injector, MonotonicClock clock)
    : name(std::move(name)), injector(injector), clock(std::move(clock)) {}

ScrollSynth::~ScrollSynth() {
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    wake.notify_all();
    if (timer.joinable()) timer.join();
}

void ScrollSynth::submit(double dx, double dy, const std::optional<std::string>& phase, std::optional<double> vx,
                         std::optional<double> vy, std::optional<ScrollMotion::Point> at, uint64_t flags,
                         const MovePointer& movePointer) {
    std::lock_guard<std::mutex> guard(lock);
    if (at && (at != lastPoint || phase == "began")) {
        movePointer(*at);
        lastPoint = at;
    }
    motion.submit(dx, dy, phase, vx, vy, at, flags, clock());
    stepLocked();
}

void ScrollSynth::interrupt() {
    std::lock_guard<std::mutex> guard(lock);
    if (motion.idle()) return;
    motion.interrupt(clock());
    stepLocked();
}

void ScrollSynth::stepLocked() {
    double now = clock();
    for (const auto& emit : motion.tick(now)) post(emit);
    for (const auto& summary : motion.finished) log(name + " " + summary.description());
    motion.finished.clear();
    wakeAt = motion.nextWake(now);
    if (wakeAt && !timer.joinable()) timer = std::thread([this] { run(); });
    wake.notify_all();
}

void ScrollSynth::post(const ScrollMotion::Emit& emit) {
    auto [clicksX, clicksY] = wheel.add(emit.dx, emit.dy);
    if (clicksX == 0 && clicksY == 0) return;
    // Positive dy scrolls down (button 5), positive dx right (button 7).
    injector.setModifiers(emit.flags);
    injector.wheel(-clicksY, -clicksX);
    injector.setModifiers(0);
}

// The synthesiser's timer: sleeps until the motion's next wake and steps it.
void ScrollSynth::run() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        if (ending) return;
        if (!wakeAt) {
            wake.wait(guard);
            continue;
        }
        double left = *wakeAt - clock();
        if (left > 0) {
            wake.wait_for(guard, std::chrono::duration<double>(left));
            continue;
        }
        stepLocked();
    }
}

}  // namespace tovo
