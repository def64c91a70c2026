#pragma once

namespace tovo::StrictTiming {

// Sleeps until `seconds` from now on the monotonic clock, to an absolute deadline so that a
// signal or a late wake-up does not stretch it. Condition waits against a steady_clock
// deadline are just as precise on Linux (the futex sleeps to an absolute CLOCK_MONOTONIC
// time), so only plain sleeps need this.
void sleep(double seconds);

}  // namespace tovo::StrictTiming
