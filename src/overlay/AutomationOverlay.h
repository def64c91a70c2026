#pragma once

#include <functional>
#include <string>

namespace tovo {

// The banner shown while a program drives the desktop: an orange border around every
// display and a capsule at the top with `text`. Stays out of this service's own pictures.
//
// Threads: any; calls return at once and the drawing happens on the overlay's own thread.
class AutomationOverlay {
public:
    virtual ~AutomationOverlay() = default;
    // Shows the banner with `text`, or changes its text.
    virtual void show(const std::string& text) = 0;
    virtual void hide() = 0;
    // Puts a button labelled `label` on the capsule that calls `onStop` (on the overlay's
    // thread) when pressed; for desktops where Escape cannot be watched. False where the
    // banner has no such button. Called before the first show(), and with an empty `onStop`
    // by whoever offered it before it goes, so that a late press calls nothing.
    virtual bool offerStop(const std::string& label, std::function<void()> onStop) {
        (void)label;
        (void)onStop;
        return false;
    }
};

namespace AutomationOverlayGeometry {

// The capsule's words: who is using the computer, and how to stop it when Escape works.
std::string capsuleText(const std::string& label, bool esc, bool chinese);
// The capsule's Stop button.
std::string stopText(bool chinese);

}  // namespace AutomationOverlayGeometry

}  // namespace tovo
