#include "capture/FilteredCapture.h"

#include "base/Mutex.h"

namespace tovo {

const char* toString(FilterMode mode) { return mode == FilterMode::native ? "native" : "mask"; }

FilteredPicture captureFiltered(ScreenCapturer& capturer, const PixelRect& rect, bool withCursor,
                                const std::vector<uint32_t>& windows, const std::function<std::vector<MaskOp>()>& masks,
                                std::vector<uint8_t>& maskBuffer) {
    FilteredPicture out;
    try {
        out.picture = capturer.captureWindows(rect, windows, withCursor);
        return out;
    } catch (const CaptureFailure& error) {
        if (!capturer.usable()) throw;
        out.fallback = error.what();
    }
    out.mode = FilterMode::mask;
    // Pixels are those of the picture: X11 has no points apart from pixels.
    std::vector<MaskOp> ops = masks();
    out.picture = applyMasks(capturer.capture(rect, withCursor), ops, 1.0, maskBuffer);
    return out;
}

std::vector<uint32_t> FilterPlanCache::windows(const std::string& wanted, const FilterPlanner& plan) {
    const auto now = std::chrono::steady_clock::now();
    {
        MutexLock guard(lock);
        if (key == wanted && now - madeAt < maxAge) return planned;
    }
    std::vector<uint32_t> fresh = plan().windows;
    MutexLock guard(lock);
    key = wanted;
    madeAt = now;
    planned = fresh;
    return fresh;
}

}  // namespace tovo
