#pragma once

#include <functional>
#include <string>

namespace tovo {

// Tells the person at the computer that a device has just paired, and offers to remove it:
// pairing needs a code from this computer, but a code shown on screen can be read by someone
// else, and the person must see at once who got in.
//
// Threads: `devicePaired` is called on a request thread and must not block on the desktop;
// `remove` is called on the notifier's own thread, at most once, and only while the notifier
// lives (its owner destroys it before what `remove` reaches).
class PairingNotifier {
public:
    virtual ~PairingNotifier() = default;
    // `description` says what the device may do; `remove` unpairs it.
    virtual void devicePaired(const std::string& name, const std::string& description,
                              std::function<void()> remove) = 0;
};

}  // namespace tovo
