#pragma once

#include "base/Clock.h"
#include "capture/ScreenCapturer.h"

#include <functional>
#include <memory>
#include <optional>

namespace tovo {

// The decision of GET /settle: the screen has settled once nothing changed on it for `quiet`
// seconds; it gives up after `timeout` seconds. Pure: the caller looks at the screen and says
// when and whether it changed. Times are monotonic seconds.
class SettleWatch {
public:
    struct Result {
        bool settled = false;
        double waited = 0;  // seconds from the start to the decision
    };

    SettleWatch(double start, double quiet, double timeout);
    // A look at `now`: `changed` says whether anything changed since the previous look. The
    // result once decided (and from then on).
    std::optional<Result> look(double now, bool changed);

private:
    const double start, quiet, timeout;
    double lastChange;
};

// Waits on a capturer of its own for `rect` to settle, looking at its marks every 15 ms: the
// pointer moving and caret-sized changes do not count. Throws CaptureFailure when changes
// cannot be followed.
SettleWatch::Result waitForSettle(ScreenCapturer& capturer, const PixelRect& rect, double quiet, double timeout,
                                  const std::function<double()>& now, const Pause& pause);

}  // namespace tovo
