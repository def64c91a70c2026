#pragma once

#include <chrono>
#include <functional>

namespace tovo {

// Monotonic time in seconds, and pauses, for the code whose timing tests drive by hand.
// Callable from any thread.
double monotonicSeconds();
void pauseFor(std::chrono::milliseconds duration);

// Replace the clock and the pause for tests; null restores the real ones.
void setMonotonicClock(std::function<double()> clock);
void setPauseFunction(std::function<void(std::chrono::milliseconds)> pause);

}  // namespace tovo
