#pragma once

#include <memory>

namespace tovo {

// What the desktop session this process runs in allows. Every call asks the desktop
// afresh (nothing is cached) and may block briefly; callable from any thread.
class DesktopSession {
public:
    virtual ~DesktopSession() = default;

    // A graphical login session can be reached (on X11: the display opens).
    virtual bool reachable() = 0;
    // Pictures of the screen can be taken.
    virtual bool canCaptureScreen() = 0;
    // Synthetic mouse and keyboard input can be posted.
    virtual bool canInjectInput() = 0;
};

}  // namespace tovo
