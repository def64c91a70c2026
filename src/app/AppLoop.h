#pragma once

#include <cstdint>
#include <functional>

namespace tovo {

// The app's main thread: everything of the app's state runs there; other threads hand
// work over with post(). The GTK backend runs it on GLib's main loop; tests drive one by
// hand with a clock of their own.
class AppLoop {
public:
    using TimerId = uint64_t;
    virtual ~AppLoop() = default;

    // Runs `job` on the main thread soon. Callable from any thread.
    virtual void post(std::function<void()> job) = 0;
    // Runs `job` once after `seconds` (main thread only).
    virtual TimerId after(double seconds, std::function<void()> job) = 0;
    // Runs `job` every `seconds` until cancelled (main thread only).
    virtual TimerId every(double seconds, std::function<void()> job) = 0;
    virtual void cancel(TimerId timer) = 0;
    // Monotonic seconds.
    virtual double now() = 0;
    // Ends the loop's run (the app quits).
    virtual void quit() = 0;
};

}  // namespace tovo
