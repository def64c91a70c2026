#include "base/StrictTiming.h"

#include <cerrno>
#include <cmath>
#include <ctime>

namespace tovo::StrictTiming {

void sleep(double seconds) {
    if (!(seconds > 0)) return;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    double whole = std::floor(seconds);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {}
}

}  // namespace tovo::StrictTiming
