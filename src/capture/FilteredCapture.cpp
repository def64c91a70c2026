#include "capture/FilteredCapture.h"

namespace tovo {

const char* toString(FilterMode mode) { return mode == FilterMode::native ? "native" : "mask"; }

FilteredPicture captureFiltered(ScreenCapturer& capturer, const PixelRect& rect, bool withCursor, const FilterPlan& plan,
                                std::vector<uint8_t>& maskBuffer) {
    FilteredPicture out;
    try {
        out.picture = capturer.captureWindows(rect, plan.windows, withCursor);
        return out;
    } catch (const CaptureFailure& error) {
        if (!capturer.usable()) throw;
        out.fallback = error.what();
    }
    out.mode = FilterMode::mask;
    // Pixels are those of the picture: X11 has no points apart from pixels.
    out.picture = applyMasks(capturer.capture(rect, withCursor), plan.masks, 1.0, maskBuffer);
    return out;
}

}  // namespace tovo
