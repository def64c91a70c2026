#pragma once

#include "capture/Masks.h"
#include "capture/ScreenCapturer.h"

#include <functional>
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

// `rect` with only the planned windows (composed by the server), or, when the server cannot
// compose, the whole of it with the planned masks painted over (into `maskBuffer`). The
// picture stays valid until the capturer's next capture or the buffer's next use. Throws
// CaptureFailure when nothing can be read.
FilteredPicture captureFiltered(ScreenCapturer& capturer, const PixelRect& rect, bool withCursor, const FilterPlan& plan,
                                std::vector<uint8_t>& maskBuffer);

}  // namespace tovo
