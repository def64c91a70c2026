#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tovo {

// Watches the keyboard for a plain Escape press by the user (not one this process posted)
// and takes it: the application under it never sees that Escape.
//
// Threads: install/remove from any one thread at a time; `onEscape` runs on the tap's own
// thread and must hand its work elsewhere quickly.
class EscapeTap {
public:
    virtual ~EscapeTap() = default;
    // Starts watching; blocks until the tap works or could not be set up. Returns why it
    // failed, or nothing once it works. Installing an installed tap does nothing.
    virtual std::optional<std::string> install(std::function<void()> onEscape) = 0;
    // Stops watching and lets Escape through again. Idempotent.
    virtual void remove() = 0;
};

}  // namespace tovo
