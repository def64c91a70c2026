#include "base/Clock.h"

#include <mutex>
#include <thread>

namespace tovo {
namespace {

std::mutex overridesLock;  // guards the two overrides
std::function<double()> clockOverride;
std::function<void(std::chrono::milliseconds)> pauseOverride;

}  // namespace

double monotonicSeconds() {
    std::function<double()> clock;
    {
        std::lock_guard<std::mutex> guard(overridesLock);
        clock = clockOverride;
    }
    if (clock) return clock();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void pauseFor(std::chrono::milliseconds duration) {
    std::function<void(std::chrono::milliseconds)> pause;
    {
        std::lock_guard<std::mutex> guard(overridesLock);
        pause = pauseOverride;
    }
    if (pause) {
        pause(duration);
    } else {
        std::this_thread::sleep_for(duration);
    }
}

void setMonotonicClock(std::function<double()> clock) {
    std::lock_guard<std::mutex> guard(overridesLock);
    clockOverride = std::move(clock);
}

void setPauseFunction(std::function<void(std::chrono::milliseconds)> pause) {
    std::lock_guard<std::mutex> guard(overridesLock);
    pauseOverride = std::move(pause);
}

}  // namespace tovo
