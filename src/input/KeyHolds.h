#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "base/TaskQueue.h"
#include "input/InputInjector.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>

namespace tovo {

// Keys and modifiers held down through the API (keyDown), until keyUp, or until the client
// that holds them has sent no input for 10 s (it went away), or releaseAll().
//
// Threads: any. The injector must outlive this object. Expiry runs on `queue`'s timer,
// which runs only while something is held.
class KeyHolds {
public:
    static constexpr double timeout = 10.0;
    static constexpr std::chrono::milliseconds checkInterval{500};

    KeyHolds(InputInjector& injector, MonotonicClock clock, std::shared_ptr<TaskQueue> queue);
    ~KeyHolds();

    // Holds `flags`' modifiers and then `key`, in addition to what is held.
    void down(std::optional<Key> key, uint64_t flags);
    // Releases `key` and then `flags`' modifiers (of what is held).
    void up(std::optional<Key> key, uint64_t flags);
    // The modifiers held now: other events keep them down around their own.
    uint64_t modifiers();
    // Input came from a client: the holds live on.
    void activity();
    // Releases everything when the last input is 10 s old (the timer's tick).
    void expire();
    void releaseAll();

private:
    void releaseAllLocked() TOVO_REQUIRES(lock);

    InputInjector& injector;
    const MonotonicClock clock;
    Mutex lock;  // guards the fields below; held while posting, so that holds post in order
    std::set<Key> keys TOVO_GUARDED_BY(lock);
    uint64_t flags TOVO_GUARDED_BY(lock) = 0;
    double lastActivity TOVO_GUARDED_BY(lock) = 0;
    bool timerRunning TOVO_GUARDED_BY(lock) = false;
    // Last, so that it goes first: its thread ends before the fields a tick reads.
    const std::shared_ptr<TaskQueue> queue;
};

}  // namespace tovo
