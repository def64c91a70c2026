#include "session/ConsoleWatch.h"

#include "base/Mutex.h"

namespace tovo {

std::optional<std::pair<ConsoleState, ConsoleState>> ConsoleChangeDetector::step(ConsoleState state, double now) {
    if (!settled) {
        settled = state;
        return std::nullopt;
    }
    if (state == *settled) {
        pending.reset();
        return std::nullopt;
    }
    if (!pending || *pending != state) {
        pending = state;
        pendingSince = now;
        return std::nullopt;
    }
    if (now - pendingSince >= holdSeconds - jitterSeconds) {
        auto change = std::make_pair(*settled, state);
        settled = state;
        pending.reset();
        return change;
    }
    return std::nullopt;
}

ConsoleWatcher::ConsoleWatcher(Reader read, Clock clock, OnChange onChange, std::shared_ptr<TaskQueue> queue)
    : read(std::move(read)), clock(std::move(clock)), onChange(std::move(onChange)), queue(std::move(queue)) {}

void ConsoleWatcher::start() {
    {
        MutexLock guard(lock);
        if (running) return;
        running = true;
        stopped = false;
    }
    std::weak_ptr<ConsoleWatcher> weakSelf = weak_from_this();
    queue->startTimer(pollInterval, [weakSelf] {
        if (auto self = weakSelf.lock()) self->tick();
    });
}

void ConsoleWatcher::stop() {
    {
        MutexLock guard(lock);
        stopped = true;
        running = false;
    }
    queue->stopTimer();
}

void ConsoleWatcher::tick() {
    ConsoleState state = read();
    double now = clock();
    std::optional<std::pair<ConsoleState, ConsoleState>> change;
    {
        MutexLock guard(lock);
        if (stopped) return;
        change = detector.step(state, now);
    }
    if (change && onChange) onChange(change->first, change->second);
}

std::optional<ConsoleState> ConsoleWatcher::settled() {
    MutexLock guard(lock);
    return detector.settled;
}

ConsoleWatcher::Reader ConsoleWatcher::readerOf(ConsoleLock& lock) {
    return [&lock] { return ConsoleState{lock.locked()}; };
}

}  // namespace tovo
