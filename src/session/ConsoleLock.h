#pragma once

#include <memory>

namespace tovo {

// Whether the user's console is locked (a screen locker is active). Called from one
// thread at a time; each call may block briefly on the desktop's message bus.
class ConsoleLock {
public:
    virtual ~ConsoleLock() = default;
    // Unknown counts as unlocked.
    virtual bool locked() = 0;
};

}  // namespace tovo
