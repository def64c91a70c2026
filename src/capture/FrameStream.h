#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "capture/CaptureActivity.h"
#include "capture/CaptureLatency.h"
#include "capture/CaptureTicks.h"
#include "capture/FilteredCapture.h"
#include "capture/ScreenCapturer.h"
#include "capture/StillCapture.h"
#include "capture/VideoPictureSource.h"
#include "display/Displays.h"
#include "image/Scaler.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tovo {

// A live picture source for one video stream: a capture thread ticks at the stream's frame
// rate; a tick whose interval saw a change of the display's area reads a new picture
// ("complete"), one without is "idle" and keeps nothing. Pictures are sized by the
// display's target size for params.maxWidth and kept as BT.709 YUV 4:2:0, converted on the
// capture thread straight from the captured pixels. At the display's own size only the
// rows that changed are read from the server and converted; the rest of a picture comes
// from the buffer's earlier contents.
//
// Threads: start/stop from the stream's connection thread; the capture thread writes the
// fields under `lock`; readers wait on `cond`. The screen saver stays suppressed while the
// stream runs.
class FrameStream final : public VideoPictureSource {
public:
    using Clock = std::function<double()>;  // monotonic seconds

    // `displays` and `latency` must outlive the stream.
    FrameStream(CaptureParams params, int fps, bool showsCursor, Displays& displays, CapturerFactory makeCapturer,
                VideoCaptureLatency& latency, Clock clock = monotonicSeconds);
    ~FrameStream() override;

    // Keeps apps out of the pictures as `plan` says; the plan is asked again at most every
    // 250 ms, so a new window of a kept-out app stays out. Call before start().
    void filterApps(FilterPlanner plan);

    // Wakes the display and starts capturing. Throws DisplayError for a display that is
    // gone, CaptureFailure when capture cannot start.
    void start();
    // Stops the capture thread and lifts the screen saver suppression. Idempotent.
    void stop();

    enum class FirstOutcome { picture, noPicture, stopped };
    // Waits until `within` seconds after start for the first picture.
    FirstOutcome first(double within);
    CaptureActivityWindow takeActivityWindow() override;

    bool waitForPicture(uint64_t changes, std::chrono::steady_clock::time_point deadline) override;
    std::optional<VideoPicture> latest() override;
    uint64_t changes() override;
    bool isStopped() override;
    void wake() override;
    // Aligns the capture ticks so that pictures are kept just before the consumer's slots.
    void encodeStarted(std::chrono::steady_clock::time_point at) override;

    const CaptureParams params;
    const double interval;  // seconds between ticks
    const bool showsCursor;

private:
    struct Capture;  // what the capture thread keeps between pictures
    void run(std::unique_ptr<ScreenCapturer> capturer, PixelRect rect, int width, int height);
    // Reads the changed screen: whole (filtered or to be scaled) or its changed rows.
    PixelView read(Capture& capture, ScreenCapturer::ChangedRows& changed);
    // Converts `picture` into a free buffer (only the rows it lacks) and makes it the latest.
    void publish(Capture& capture, const PixelView& picture, ScreenCapturer::ChangedRows changed,
                 std::chrono::steady_clock::time_point tick, double now);
    struct Slot {
        std::shared_ptr<std::vector<uint8_t>> data;
        uint64_t holds = 0;  // the picture it was last written with (0: none)
    };
    // A buffer no reader holds, for the next picture.
    Slot& freeSlot();

    Displays& displays;
    const CapturerFactory makeCapturer;
    VideoCaptureLatency& latency;
    const Clock clock;
    std::thread worker;
    bool started = false;   // touched only by start/stop's thread
    FilterPlanner planner;  // set before start, then read by the capture thread only

    Mutex lock;  // guards everything below; `cond` is broadcast on every change
    std::condition_variable cond;
    bool stopping TOVO_GUARDED_BY(lock) = false;
    bool stopped TOVO_GUARDED_BY(lock) = false;
    bool woken TOVO_GUARDED_BY(lock) = false;  // wake() came since the last wait returned
    CaptureActivity activity TOVO_GUARDED_BY(lock);
    std::optional<VideoPicture> latestPicture TOVO_GUARDED_BY(lock);
    uint64_t changeCount TOVO_GUARDED_BY(lock) = 0;
    std::optional<double> firstFrameAt TOVO_GUARDED_BY(lock);
    CaptureTicks ticks TOVO_GUARDED_BY(lock);
    std::deque<Slot> buffers TOVO_GUARDED_BY(lock);  // a deque: slots stay where they are as it grows
};

}  // namespace tovo
