#pragma once

#include <chrono>
#include <functional>

namespace tovo {

// Monotonic time in seconds. Callable from any thread.
double monotonicSeconds();
// Wall-clock time in seconds since 1970 UTC.
double wallSeconds();

// A monotonic clock in seconds, passed to the components whose timing tests drive by hand.
using MonotonicClock = std::function<double()>;
// A pause of the calling thread, passed beside the clock for the same reason.
using Pause = std::function<void(std::chrono::milliseconds)>;

// The real pause: sleeps the calling thread.
void sleepFor(std::chrono::milliseconds duration);

}  // namespace tovo
