#include "input/ScrollSynth.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <algorithm>
#include <cmath>

namespace tovo {

std::pair<int, int> WheelClicks::add(double dx, double dy) {
    auto take = [](double& owed, double pixels) {
        if (std::isfinite(pixels)) owed += pixels;
        double clicks =
            std::clamp(std::trunc(owed / pixelsPerClick), double(-maxClicksPerStep), double(maxClicksPerStep));
        owed -= clicks * pixelsPerClick;
        return static_cast<int>(clicks);
    };
    int cx = take(x, dx);
    int cy = take(y, dy);
    return {cx, cy};
}

long long WheelClicks::drop() {
    double whole = std::trunc(x / pixelsPerClick) + std::trunc(y / pixelsPerClick);
    x = std::fmod(x, pixelsPerClick);
    y = std::fmod(y, pixelsPerClick);
    return std::llround(std::fabs(whole));
}

ScrollSynth::ScrollSynth(std::string name, InputInjector& injector, MonotonicClock clock)
    : name(std::move(name)), injector(injector), clock(std::move(clock)) {}

ScrollSynth::~ScrollSynth() {
    {
        MutexLock guard(lock);
        ending = true;
    }
    wake.notify_all();
    if (timer.joinable()) timer.join();
}

void ScrollSynth::submit(double dx, double dy, const std::optional<std::string>& phase, std::optional<double> vx,
                         std::optional<double> vy, std::optional<ScrollMotion::Point> at, uint64_t flags,
                         const MovePointer& movePointer) {
    MutexLock guard(lock);
    if (at && (at != lastPoint || phase == "began")) {
        MutexLock posting(postLock);
        movePointer(*at);
        lastPoint = at;
    }
    motion.submit(dx, dy, phase, vx, vy, at, flags, clock());
    std::vector<Turn> turns = stepLocked();
    if (turns.empty()) return;
    // `postLock` is taken before `lock` is let go, so that posts keep the order of steps.
    MutexLock posting(postLock);
    guard.unlock();
    post(turns);
}

void ScrollSynth::interrupt() {
    MutexLock guard(lock);
    if (motion.idle() && !wheel.owes()) return;
    if (!motion.idle()) motion.interrupt(clock());
    std::vector<Turn> turns = stepLocked();
    if (long long dropped = wheel.drop())
        log(name + " interrupted; " + std::to_string(dropped) + " wheel clicks dropped");
    if (turns.empty()) return;
    MutexLock posting(postLock);
    guard.unlock();
    post(turns);
}

std::vector<ScrollSynth::Turn> ScrollSynth::stepLocked() {
    double now = clock();
    std::vector<Turn> turns;
    auto take = [&](double dx, double dy) TOVO_REQUIRES(lock) {
        auto [clicksX, clicksY] = wheel.add(dx, dy);
        if (clicksX != 0 || clicksY != 0) turns.push_back({clicksX, clicksY, wheelFlags});
    };
    for (const auto& emit : motion.tick(now)) {
        wheelFlags = emit.flags;
        take(emit.dx, emit.dy);
    }
    // Clicks held back by the per-step cap leave with the following steps.
    if (turns.empty() && wheel.owes()) take(0, 0);
    for (const auto& summary : motion.finished) log(name + " " + summary.description());
    motion.finished.clear();
    wakeAt = motion.nextWake(now);
    if (wheel.owes()) wakeAt = std::min(wakeAt.value_or(INFINITY), now + ScrollMotion::tickPeriod);
    if (wakeAt && !timer.joinable()) timer = std::thread([this] { run(); });
    wake.notify_all();
    return turns;
}

void ScrollSynth::post(const std::vector<Turn>& turns) {
    for (const Turn& turn : turns) {
        // Positive dy scrolls down (button 5), positive dx right (button 7).
        injector.setModifiers(turn.flags);
        injector.wheel(-turn.y, -turn.x);
        injector.setModifiers(0);
    }
}

// The synthesiser's timer: sleeps until the motion's next wake and steps it.
void ScrollSynth::run() {
    MutexLock guard(lock);
    for (;;) {
        if (ending) return;
        if (!wakeAt) {
            guard.wait(wake);
            continue;
        }
        double left = *wakeAt - clock();
        if (left > 0) {
            guard.waitFor(wake, std::chrono::duration<double>(left));
            continue;
        }
        std::vector<Turn> turns = stepLocked();
        if (turns.empty()) continue;
        {
            MutexLock posting(postLock);
            guard.unlock();
            post(turns);
        }
        guard.lock();
    }
}

}  // namespace tovo
