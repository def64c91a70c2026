#pragma once

#include "base/Mutex.h"
#include "capture/Masks.h"
#include "capture/ScreenCapturer.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// What the desktop says a filter keeps, made fresh for a picture: the windows to compose,
// and the covering steps for when composing is not possible.
struct FilterPlan {
    std::vector<uint32_t> windows;
    std::vector<MaskOp> masks;
};
using FilterPlanner = std::function<FilterPlan()>;

enum class FilterMode { native, mask };
const char* toString(FilterMode mode);

struct FilteredPicture {
    PixelView picture;
    FilterMode mode = FilterMode::native;
    std::optional<std::string> fallback;  // why composing failed, when the mask way was taken
};

// `rect` with only `windows` (composed by the server), or, when the server cannot compose,
// the whole of it with the masks painted over (into `maskBuffer`). Masks are asked for only
// then, so that they can be planned afresh: a window list a moment old is safe to compose
// (windows new since are left out), masks a moment old are not (a window may have moved).
// The picture stays valid until the capturer's next capture or the buffer's next use.
// Throws CaptureFailure when nothing can be read.
FilteredPicture captureFiltered(ScreenCapturer& capturer, const PixelRect& rect, bool withCursor,
                                const std::vector<uint32_t>& windows, const std::function<std::vector<MaskOp>()>& masks,
                                std::vector<uint8_t>& maskBuffer);

// The last plan for one filter, reused for composing while it is younger than `maxAge`.
//
// Threads: any; `lock` guards the entry and is not held while planning.
class FilterPlanCache {
public:
    explicit FilterPlanCache(std::chrono::milliseconds maxAge) : maxAge(maxAge) {}
    // The windows to compose for `key` (the filter and display), planned by `plan` when
    // there is no young enough entry.
    std::vector<uint32_t> windows(const std::string& key, const FilterPlanner& plan);

private:
    const std::chrono::milliseconds maxAge;
    Mutex lock;  // guards the fields below
    std::string key TOVO_GUARDED_BY(lock);
    std::chrono::steady_clock::time_point madeAt TOVO_GUARDED_BY(lock);
    std::vector<uint32_t> planned TOVO_GUARDED_BY(lock);
};

}  // namespace tovo
