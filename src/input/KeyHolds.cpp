#include "input/KeyHolds.h"

#include "base/Log.h"

namespace tovo {

KeyHolds::KeyHolds(InputInjector& injector, MonotonicClock clock, std::shared_ptr<TaskQueue> queue)
    : injector(injector), clock(std::move(clock)), queue(std::move(queue)) {}

KeyHolds::~KeyHolds() { queue->stopTimer(); }

void KeyHolds::down(std::optional<Key> key, uint64_t more) {
    MutexLock guard(lock);
    flags |= more;
    injector.setModifiers(flags);
    if (key && keys.insert(*key).second) injector.key(*key, true);
    lastActivity = clock();
    if (!timerRunning && (flags || !keys.empty())) {
        timerRunning = true;
        queue->startTimer(checkInterval, [this] { expire(); });
    }
}

void KeyHolds::up(std::optional<Key> key, uint64_t fewer) {
    MutexLock guard(lock);
    if (key && keys.erase(*key)) injector.key(*key, false);
    flags &= ~fewer;
    injector.setModifiers(flags);
    lastActivity = clock();
}

uint64_t KeyHolds::modifiers() {
    MutexLock guard(lock);
    return flags;
}

void KeyHolds::activity() {
    MutexLock guard(lock);
    lastActivity = clock();
}

void KeyHolds::expire() {
    MutexLock guard(lock);
    if (flags == 0 && keys.empty()) {
        if (timerRunning) queue->stopTimer();
        timerRunning = false;
        return;
    }
    if (clock() - lastActivity < timeout) return;
    log("input: released held keys after 10 s without input from their client");
    releaseAllLocked();
}

void KeyHolds::releaseAll() {
    MutexLock guard(lock);
    releaseAllLocked();
}

void KeyHolds::releaseAllLocked() {
    for (Key key : keys) injector.key(key, false);
    keys.clear();
    flags = 0;
    injector.setModifiers(0);
}

}  // namespace tovo
