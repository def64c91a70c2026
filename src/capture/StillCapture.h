#pragma once

#include "base/Mutex.h"
#include "capture/FilteredCapture.h"
#include "capture/FrameFilter.h"
#include "capture/ScreenCapturer.h"
#include "display/Displays.h"
#include "image/JPEGEncoder.h"
#include "image/Scaler.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// What one capture asks for.
struct CaptureParams {
    uint32_t display = 0;  // already resolved
    int maxWidth = 1280;   // widest picture wanted, 160…3840
    int quality = 70;      // JPEG quality, 10…95

    static constexpr int minWidth = 160, maxMaxWidth = 3840, defaultWidth = 1280;
    static constexpr int minQuality = 10, maxQuality = 95, defaultQuality = 70;
    bool operator==(const CaptureParams&) const = default;
};

// One encoded still picture.
struct JPEGFrame {
    std::string data;
    int width = 0;
    int height = 0;
    uint32_t display = 0;
    std::optional<UnitRect> crop;      // the crop applied, in fractions of the whole picture
    std::optional<FilterMode> filter;  // how apps were kept out, when the filter names apps
};

using CapturerFactory = std::function<std::unique_ptr<ScreenCapturer>()>;

// Still pictures of displays and windows. Keeps a few capturers with their buffers and
// encoders between requests, so that a picture allocates nothing and reuses its connection.
//
// Threads: any; concurrent captures each take a capturer of their own. `displays` must
// outlive this object.
class StillCapture {
public:
    StillCapture(Displays& displays, CapturerFactory makeCapturer);
    ~StillCapture();

    // One picture of the display (pointer included), sized by the display's target size for
    // params.maxWidth, encoded. When nothing changed on the display, and the pointer has not
    // moved or changed its shape, since the last picture with the same parameters, that
    // picture is answered again. Throws DisplayError, CaptureFailure.
    JPEGFrame frame(const CaptureParams& params);
    // The same under a filter: apps kept out as `plan` says, then the crop cut from the
    // full-size picture and brought down to params.maxWidth. The windows to compose are
    // planned at most once a second for one filter; a failed composition is logged and
    // covered with masks planned afresh.
    JPEGFrame frame(const CaptureParams& params, const FrameFilter& filter, const FilterPlanner& plan);
    // One picture of a top-level window's own pixels, scaled to width × height, encoded;
    // none when it did not come within `within`. Throws CaptureFailure when the window has
    // no picture.
    std::optional<std::string> window(uint32_t window, int width, int height, int quality,
                                      std::chrono::milliseconds within);

    // Drops idle capturers whose display went away, with their shared memory.
    void prune();

private:
    struct Worker;
    struct Pool;
    // Wakes the display and returns it. Throws DisplayError.
    DisplayInfo awake(uint32_t display);
    // One picture of `display` (awake) under `filter`.
    JPEGFrame make(const CaptureParams& params, const DisplayInfo& display, const FrameFilter& filter,
                   const FilterPlanner& plan);
    // The screen's mark now (none: pictures are not reused).
    std::optional<ScreenMark> markOf(const PixelRect& rect);

    Displays& displays;
    const std::shared_ptr<Pool> pool;
    Mutex watching;  // guards watcher: its own connection, which only makes marks
    std::unique_ptr<ScreenCapturer> watcher TOVO_GUARDED_BY(watching);
    struct Reusable {
        CaptureParams params;
        ScreenMark mark;
        JPEGFrame frame;
    };
    Mutex lastLock;  // guards last
    std::optional<Reusable> last TOVO_GUARDED_BY(lastLock);
    FilterPlanCache plans{std::chrono::seconds(1)};
};

}  // namespace tovo
