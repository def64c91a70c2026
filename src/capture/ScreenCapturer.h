#pragma once

#include "display/PixelRect.h"
#include "image/PixelView.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tovo {

// What a still picture depends on besides its parameters: changes seen on the screen, and
// the pointer's place and shape. Equal marks mean an equal picture.
struct ScreenMark {
    uint64_t changes = 0;
    int pointerX = 0;
    int pointerY = 0;
    uint64_t cursorChanges = 0;
    // Of `changes`, those no wider than a text caret (4 × 64 pixels at most): a caret that
    // blinks changes the picture but is no sign of the screen being busy.
    uint64_t caretSizedChanges = 0;
    bool operator==(const ScreenMark&) const = default;
};

// A capture that could not be made; the message says why.
class CaptureFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads pixels of the screen through a connection of its own. One capturer is used by one
// thread at a time; it keeps its buffers between captures so that a steady stream of
// captures allocates nothing.
class ScreenCapturer {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~ScreenCapturer() = default;

    // Reads `rect` of the screen, with the pointer drawn in when `withCursor`. The view
    // stays valid until the next capture or the capturer's end. Throws CaptureFailure.
    virtual PixelView capture(const PixelRect& rect, bool withCursor) = 0;

    // The rows [first, last) of a picture that differ from the previous one.
    struct ChangedRows {
        int first = 0;
        int last = 0;
        bool empty() const { return last <= first; }
        // The rows of both (and any between them).
        ChangedRows with(ChangedRows other) const {
            if (empty()) return other;
            if (other.empty()) return *this;
            return {first < other.first ? first : other.first, last > other.last ? last : other.last};
        }
    };
    struct PartialPicture {
        PixelView picture;
        ChangedRows changed;
    };
    // For streams: `rect` as capture() gives it, but read from the server only where the
    // screen changed since the previous call (the changes waitForChanges() saw, and where
    // the pointer was and is); the other rows are the previous call's. The first call, a
    // new `rect`, or a picture that had to be composed read everything.
    virtual PartialPicture captureChanges(const PixelRect& rect, bool withCursor) {
        return {capture(rect, withCursor), {0, rect.height}};
    }

    // Reads `rect` as it would look with only the top-level `windows` on screen (in their
    // stacking order, on black; this process's own windows never). Windows that are gone are
    // skipped. Throws CaptureFailure when the server cannot compose pictures.
    virtual PixelView captureWindows(const PixelRect& rect, const std::vector<uint32_t>& windows, bool withCursor) = 0;

    // Reads a top-level window's own pixels (frame included), whatever covers it, through
    // the compositing extension. Throws CaptureFailure (for example for an unmapped window).
    virtual PixelView captureWindow(uint32_t window) = 0;

    // Change tracking for streams. Waits until `until`, noting screen changes that touch
    // `rect`; returns when the first change since the last call arrived, or no value when
    // nothing changed. The first call after construction reports a change. Throws
    // CaptureFailure when the display is gone.
    virtual std::optional<Clock::time_point> waitForChanges(const PixelRect& rect, Clock::time_point until) = 0;

    // The mark of `rect` now: every change of the screen there since this capturer first
    // made a mark moves it on. None when changes cannot be followed (pictures are then never
    // reused).
    virtual std::optional<ScreenMark> mark(const PixelRect&) { return std::nullopt; }

    // Keeps the screen saver and display power management off while set (for this
    // connection's life at most).
    virtual void suppressScreenSaver(bool suppress) = 0;

    // False once the connection to the display broke (also noticed without a request);
    // such a capturer is thrown away.
    virtual bool usable() const = 0;
};

}  // namespace tovo
