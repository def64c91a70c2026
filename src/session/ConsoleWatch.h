#pragma once

#include "base/Mutex.h"
#include "base/TaskQueue.h"
#include "session/ConsoleLock.h"
#include "session/ScreenState.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace tovo {

// Debounces console lock readings: a new state counts once it has been read unchanged for
// 1.5 seconds. The first reading settles without being reported.
struct ConsoleChangeDetector {
    static constexpr double holdSeconds = 1.5;
    // Readings come from a 0.5 s poll whose clock is read after a bus call of varying
    // length, so the reading 1.5 s after the first may be stamped a little short of it.
    // Without this slack a 2 s lock would often be missed.
    static constexpr double jitterSeconds = 0.05;

    std::optional<ConsoleState> settled;
    std::optional<ConsoleState> pending;
    double pendingSince = 0;

    // Feeds one reading taken at `now` (seconds); the settled change (from, to), if any.
    std::optional<std::pair<ConsoleState, ConsoleState>> step(ConsoleState state, double now);
};

// Polls the console lock twice a second and reports debounced changes.
//
// Threads: reads and `onChange` run on the watcher's own queue, `onChange` without the
// watcher's lock; `settled()` may be called from any thread. Create it with std::make_shared.
class ConsoleWatcher : public std::enable_shared_from_this<ConsoleWatcher> {
public:
    using Reader = std::function<ConsoleState()>;
    using Clock = std::function<double()>;  // monotonic seconds
    using OnChange = std::function<void(ConsoleState from, ConsoleState to)>;

    static constexpr std::chrono::milliseconds pollInterval{500};

    ConsoleWatcher(Reader read, Clock clock, OnChange onChange,
                   std::shared_ptr<TaskQueue> queue = std::make_shared<SerialTaskQueue>("tovo-console"));

    void start();
    void stop();
    // A reader over a console lock, which must outlive the watcher.
    static Reader readerOf(ConsoleLock& lock);

    // One poll, as the timer runs it.
    void tick();
    // The debounced state; absent before the first reading.
    std::optional<ConsoleState> settled();

private:
    const Reader read;
    const Clock clock;
    const OnChange onChange;
    const std::shared_ptr<TaskQueue> queue;

    Mutex lock;  // guards the fields below
    ConsoleChangeDetector detector TOVO_GUARDED_BY(lock);
    bool running TOVO_GUARDED_BY(lock) = false;
    bool stopped TOVO_GUARDED_BY(lock) = false;
};

}  // namespace tovo
