#include "capture/ScreenSettle.h"

#include <algorithm>

namespace tovo {

SettleWatch::SettleWatch(double start, double quiet, double timeout)
    : start(start), quiet(quiet), timeout(timeout), lastChange(start) {}

std::optional<SettleWatch::Result> SettleWatch::look(double now, bool changed) {
    if (changed) lastChange = now;
    if (now - lastChange >= quiet) return Result{true, now - start};
    if (now - start >= timeout) return Result{false, now - start};
    return std::nullopt;
}

SettleWatch::Result waitForSettle(ScreenCapturer& capturer, const PixelRect& rect, double quiet, double timeout,
                                  const std::function<double()>& now, const Pause& pause) {
    // The first mark starts the count; changes before it are not this wait's business.
    std::optional<ScreenMark> previous = capturer.mark(rect);
    if (!previous) throw CaptureFailure("this display's changes cannot be followed");
    SettleWatch watch(now(), quiet, timeout);
    for (;;) {
        pause(std::chrono::milliseconds(15));
        std::optional<ScreenMark> mark = capturer.mark(rect);
        if (!mark) throw CaptureFailure("this display's changes cannot be followed");
        // A blinking caret does not keep the screen from settling.
        const bool changed = mark->changes - mark->caretSizedChanges != previous->changes - previous->caretSizedChanges;
        previous = mark;
        if (auto result = watch.look(now(), changed)) return *result;
    }
}

}  // namespace tovo
