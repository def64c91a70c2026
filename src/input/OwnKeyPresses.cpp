#include "input/OwnKeyPresses.h"

#include "base/Mutex.h"

namespace tovo {

void OwnKeyPresses::note(uint32_t keysym, Clock::time_point at) {
    MutexLock guard(lock);
    if (presses.size() == capacity) presses.pop_front();
    presses.emplace_back(keysym, at);
}

bool OwnKeyPresses::take(uint32_t keysym, Clock::time_point at) {
    MutexLock guard(lock);
    while (!presses.empty() && at - presses.front().second >= keep) presses.pop_front();
    for (auto it = presses.begin(); it != presses.end(); ++it) {
        if (it->first == keysym) {
            presses.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace tovo
