#pragma once

#include "base/Mutex.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

namespace tovo {

// Key presses this process posted itself, remembered for a moment so that a watcher of the
// keyboard can tell them from the user's: each noted press answers one `take`.
//
// Threads: any; `lock` guards the list and is held only to read or change it.
class OwnKeyPresses {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto keep = std::chrono::seconds(2);
    static constexpr size_t capacity = 64;

    void note(uint32_t keysym, Clock::time_point at = Clock::now());
    // True, and forgets the press, when one of `keysym` was noted less than `keep` before
    // `at`.
    bool take(uint32_t keysym, Clock::time_point at = Clock::now());

private:
    Mutex lock;  // guards presses
    std::deque<std::pair<uint32_t, Clock::time_point>> presses TOVO_GUARDED_BY(lock);
};

}  // namespace tovo
