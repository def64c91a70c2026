#include "capture/FrameStream.h"

#include "base/Log.h"
#include "base/Mutex.h"
#include "image/Bt709Conversion.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>

namespace tovo {
FrameStream::FrameStream(CaptureParams params, int fps, bool showsCursor, Displays& displays,
                         CapturerFactory makeCapturer, VideoCaptureLatency& latency, Clock clock)
    : params(params),
      interval(1.0 / std::max(1, fps)),
      showsCursor(showsCursor),
      displays(displays),
      makeCapturer(std::move(makeCapturer)),
      latency(latency),
      clock(std::move(clock)),
      ticks(std::chrono::duration_cast<CaptureTicks::Duration>(std::chrono::duration<double>(interval))) {}

FrameStream::~FrameStream() { stop(); }

void FrameStream::filterApps(FilterPlanner plan) { planner = std::move(plan); }

void FrameStream::encodeStarted(std::chrono::steady_clock::time_point at) {
    MutexLock guard(lock);
    ticks.consumerStarted(at);
}

void FrameStream::start() {
    if (started) return;
    displays.wake(params.display);
    DisplayInfo display = displays.require(params.display);
    auto size = Displays::scaledSize(display.width * display.scale, display.width, display.height, params.maxWidth);
    PixelRect rect{static_cast<int>(display.x), static_cast<int>(display.y), static_cast<int>(display.width),
                   static_cast<int>(display.height)};

    std::unique_ptr<ScreenCapturer> capturer = makeCapturer();
    capturer->suppressScreenSaver(true);
    {
        MutexLock guard(lock);
        activity = CaptureActivity{};
        activity.startedAt = clock();
        stopping = false;
        stopped = false;
    }
    latency.setOwner(this);
    started = true;
    worker = std::thread(
        [this, c = std::move(capturer), rect, size]() mutable { run(std::move(c), rect, size.first, size.second); });
}

void FrameStream::stop() {
    if (!started) return;
    {
        MutexLock guard(lock);
        stopping = true;
    }
    cond.notify_all();
    if (worker.joinable()) worker.join();
    started = false;
}

struct FrameStream::Capture {
    Capture(std::unique_ptr<ScreenCapturer> capturer, PixelRect rect, int width, int height)
        : capturer(std::move(capturer)), rect(rect), width(width), height(height) {}

    std::unique_ptr<ScreenCapturer> capturer;
    const PixelRect rect;
    const int width, height;  // of the pictures, after scaling
    const bool scaled = width != rect.width || height != rect.height;
    const int stride = (width + 1) & ~1;
    Scaler scaler;
    std::vector<uint8_t> masked;
    FilterPlanCache plans{std::chrono::milliseconds(250)};
    bool fellBack = false;  // the last filtered picture was covered instead
    // The rows each recent picture changed, so that a buffer written a few pictures ago is
    // brought up to date by converting only those.
    std::deque<std::pair<uint64_t, ScreenCapturer::ChangedRows>> history;
    static constexpr size_t historyLength = 16;
};

void FrameStream::run(std::unique_ptr<ScreenCapturer> capturer, PixelRect rect, int width, int height) {
    using Steady = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(interval));
    Capture capture(std::move(capturer), rect, width, height);
    std::optional<Steady::time_point> lastKeptTick;
    std::optional<Steady::time_point> pendingChange;  // a change not yet turned into a picture
    auto tick = Steady::now();
    try {
        for (;;) {
            {
                MutexLock guard(lock);
                if (stopping) break;
            }
            auto change = capture.capturer->waitForChanges(rect, tick);
            if (change && !pendingChange) pendingChange = change;
            const auto thisTick = tick;
            {
                MutexLock guard(lock);
                tick = ticks.next(thisTick, Steady::now());
            }

            double now = clock();
            bool complete = pendingChange.has_value();
            // Measured between ticks, not wake-ups: a tick that woke late must not gate the
            // next one, which is on time.
            bool gated = complete && lastKeptTick && thisTick - *lastKeptTick < period * 9 / 10;
            {
                MutexLock guard(lock);
                activity.note(complete ? FrameStatus::complete : FrameStatus::idle, now, gated);
            }
            // A gated change stays pending: the next tick reads it, so it is never lost.
            if (!complete || gated) continue;

            ScreenCapturer::ChangedRows changed{0, height};
            PixelView picture = read(capture, changed);
            latency.note(this, std::chrono::duration<double, std::milli>(Steady::now() - *pendingChange).count());
            pendingChange.reset();
            lastKeptTick = thisTick;
            if (capture.scaled) picture = capture.scaler.scale(picture, width, height);
            publish(capture, picture, changed, thisTick, now);
        }
    } catch (const std::exception& error) {
        log(std::string("stream stopped: ") + error.what());
    }
    capture.capturer->suppressScreenSaver(false);
    {
        MutexLock guard(lock);
        stopped = true;
    }
    cond.notify_all();
}

PixelView FrameStream::read(Capture& capture, ScreenCapturer::ChangedRows& changed) {
    ScreenCapturer& capturer = *capture.capturer;
    if (planner) {
        FilteredPicture filtered = captureFiltered(
            capturer, capture.rect, showsCursor, capture.plans.windows("", planner), [&] { return planner().masks; },
            capture.masked);
        if (filtered.fallback && !capture.fellBack) {
            log("stream: native visible filter unavailable (" + *filtered.fallback + "); covering instead");
        }
        capture.fellBack = filtered.fallback.has_value();
        return filtered.picture;
    }
    if (capture.scaled) return capturer.capture(capture.rect, showsCursor);
    auto partial = capturer.captureChanges(capture.rect, showsCursor);
    changed = partial.changed;
    return partial.picture;
}

void FrameStream::publish(Capture& capture, const PixelView& picture, ScreenCapturer::ChangedRows changed,
                          std::chrono::steady_clock::time_point tick, double now) {
    const int width = capture.width, height = capture.height, stride = capture.stride;
    auto& history = capture.history;
    uint64_t seq;
    {
        MutexLock guard(lock);
        seq = changeCount + 1;  // changeCount is written on this thread only
    }
    history.emplace_back(seq, changed);
    if (history.size() > Capture::historyLength) history.pop_front();
    Slot& slot = freeSlot();
    ScreenCapturer::ChangedRows rows{0, height};
    if (slot.holds != 0 && slot.holds + 1 >= history.front().first) {
        rows = {};
        for (const auto& [at, part] : history) {
            if (at > slot.holds) rows = rows.with(part);
        }
    }
    slot.data->resize(VideoPicture::yuv420Bytes(stride, height));
    uint8_t* base = slot.data->data();
    const size_t uAt = static_cast<size_t>(stride) * height;
    const size_t vAt = uAt + static_cast<size_t>(stride / 2) * ((height + 1) / 2);
    bgrxToYuv420Bt709Rows(picture.data, picture.stride, width, height, rows.first, rows.last,
                          {base, stride, base + uAt, stride / 2, base + vAt, stride / 2});
    slot.holds = seq;
    auto buffer = slot.data;
    {
        MutexLock guard(lock);
        ++changeCount;
        latestPicture =
            VideoPicture{buffer, width, height, stride, wallSeconds() * 1000, changeCount, PictureFormat::yuv420};
        ticks.kept(tick, std::chrono::steady_clock::now());
        if (!firstFrameAt) firstFrameAt = now;
    }
    cond.notify_all();
}

FrameStream::Slot& FrameStream::freeSlot() {
    MutexLock guard(lock);
    // Of the buffers no reader holds, the one written last needs the fewest rows converted.
    Slot* best = nullptr;
    for (auto& slot : buffers) {
        if (slot.data.use_count() == 1 && (!best || slot.holds > best->holds)) best = &slot;
    }
    if (best) return *best;
    // Every buffer is held (by the latest picture and by readers): one more. Readers
    // release theirs after a picture, so the set stays small.
    buffers.push_back({std::make_shared<std::vector<uint8_t>>(), 0});
    return buffers.back();
}

FrameStream::FirstOutcome FrameStream::first(double within) {
    MutexLock guard(lock);
    double deadline = activity.startedAt + within;
    for (;;) {
        if (firstFrameAt) return *firstFrameAt <= deadline ? FirstOutcome::picture : FirstOutcome::noPicture;
        if (stopped) return FirstOutcome::stopped;
        double left = deadline - clock();
        if (left <= 0) return FirstOutcome::noPicture;
        guard.waitFor(cond, std::chrono::duration<double>(left));
    }
}

CaptureActivityWindow FrameStream::takeActivityWindow() {
    MutexLock guard(lock);
    return activity.take(clock());
}

bool FrameStream::waitForPicture(uint64_t seen, std::chrono::steady_clock::time_point deadline) {
    MutexLock guard(lock);
    while (changeCount == seen && !stopped && !woken) {
        if (guard.waitUntil(cond, deadline) == std::cv_status::timeout) break;
    }
    woken = false;
    return changeCount != seen;
}

void FrameStream::wake() {
    {
        MutexLock guard(lock);
        woken = true;
    }
    cond.notify_all();
}

std::optional<VideoPicture> FrameStream::latest() {
    MutexLock guard(lock);
    return latestPicture;
}

uint64_t FrameStream::changes() {
    MutexLock guard(lock);
    return changeCount;
}

bool FrameStream::isStopped() {
    MutexLock guard(lock);
    return stopped;
}

}  // namespace tovo
