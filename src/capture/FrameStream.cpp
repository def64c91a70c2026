#include "capture/FrameStream.h"

#include "base/Log.h"

#include <chrono>
#include <cstring>

namespace tovo {
FrameStream::FrameStream(CaptureParams params, int fps, bool showsCursor, Displays& displays,
                         CapturerFactory makeCapturer, VideoCaptureLatency& latency, Clock clock)
    : params(params),
      interval(1.0 / std::max(1, fps)),
      showsCursor(showsCursor),
      displays(displays),
      makeCapturer(std::move(makeCapturer)),
      latency(latency),
      clock(std::move(clock)) {}

FrameStream::~FrameStream() { stop(); }

void FrameStream::filterApps(FilterPlanner plan) { planner = std::move(plan); }

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
        std::lock_guard<std::mutex> guard(lock);
        activity = CaptureActivity{};
        activity.startedAt = clock();
        stopping = false;
        stopped = false;
    }
    latency.setOwner(this);
    started = true;
    worker = std::thread([this, c = std::move(capturer), rect, size]() mutable {
        run(std::move(c), rect, size.first, size.second);
    });
}

void FrameStream::stop() {
    if (!started) return;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    cond.notify_all();
    if (worker.joinable()) worker.join();
    started = false;
}

void FrameStream::run(std::unique_ptr<ScreenCapturer> capturer, PixelRect rect, int width, int height) {
    using Steady = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(interval));
    Scaler scaler;
    std::vector<uint8_t> masked;
    FilterPlanCache plans(std::chrono::milliseconds(250));
    bool fellBack = false;
    double lastEncode = -1e9;
    std::optional<Steady::time_point> pendingChange;  // a change not yet turned into a picture
    auto nextTick = Steady::now();
    try {
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping) break;
            }
            auto change = capturer->waitForChanges(rect, nextTick);
            if (change && !pendingChange) pendingChange = change;
            nextTick += period;
            if (nextTick < Steady::now()) nextTick = Steady::now() + period;  // no catching up

            double now = clock();
            bool complete = pendingChange.has_value();
            bool gated = complete && (now - lastEncode) < interval * 0.9;
            {
                std::lock_guard<std::mutex> guard(lock);
                activity.note(complete ? FrameStatus::complete : FrameStatus::idle, now, gated);
            }
            // A gated change stays pending: the next tick reads it, so it is never lost.
            if (!complete || gated) continue;

            PixelView picture;
            if (planner) {
                FilteredPicture filtered = captureFiltered(*capturer, rect, showsCursor, plans.windows("", planner),
                                                           [&] { return planner().masks; }, masked);
                if (filtered.fallback && !fellBack) {
                    log("stream: native visible filter unavailable (" + *filtered.fallback + "); covering instead");
                }
                fellBack = filtered.fallback.has_value();
                picture = filtered.picture;
            } else {
                picture = capturer->capture(rect, showsCursor);
            }
            auto readAt = Steady::now();
            latency.note(
                this, std::chrono::duration<double, std::milli>(readAt - *pendingChange).count());
            pendingChange.reset();
            lastEncode = now;
            PixelView scaled = scaler.scale(picture, width, height);

            auto buffer = freeBuffer();
            const int stride = width * 4;
            buffer->resize(static_cast<size_t>(stride) * static_cast<size_t>(height));
            for (int y = 0; y < height; ++y) {
                std::memcpy(buffer->data() + static_cast<size_t>(y) * stride,
                            scaled.data + static_cast<size_t>(y) * scaled.stride, static_cast<size_t>(stride));
            }
            {
                std::lock_guard<std::mutex> guard(lock);
                ++changeCount;
                latestPicture = VideoPicture{buffer, width, height, stride, wallSeconds() * 1000, changeCount};
                if (!firstFrameAt) firstFrameAt = now;
            }
            cond.notify_all();
        }
    } catch (const std::exception& error) {
        log(std::string("stream stopped: ") + error.what());
    }
    capturer->suppressScreenSaver(false);
    {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
    }
    cond.notify_all();
}

std::shared_ptr<std::vector<uint8_t>> FrameStream::freeBuffer() {
    std::lock_guard<std::mutex> guard(lock);
    for (auto& buffer : buffers) {
        if (buffer.use_count() == 1) return buffer;
    }
    // Every buffer is held (by the latest picture and by readers): one more. Readers
    // release theirs after a picture, so the set stays small.
    buffers.push_back(std::make_shared<std::vector<uint8_t>>());
    return buffers.back();
}

FrameStream::FirstOutcome FrameStream::first(double within) {
    std::unique_lock<std::mutex> guard(lock);
    double deadline = activity.startedAt + within;
    for (;;) {
        if (firstFrameAt) return *firstFrameAt <= deadline ? FirstOutcome::picture : FirstOutcome::noPicture;
        if (stopped) return FirstOutcome::stopped;
        double left = deadline - clock();
        if (left <= 0) return FirstOutcome::noPicture;
        cond.wait_for(guard, std::chrono::duration<double>(left));
    }
}

CaptureActivityWindow FrameStream::takeActivityWindow() {
    std::lock_guard<std::mutex> guard(lock);
    return activity.take(clock());
}

bool FrameStream::waitForPicture(uint64_t seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(lock);
    cond.wait_until(guard, deadline, [&] { return changeCount != seen || stopped || woken; });
    woken = false;
    return changeCount != seen;
}

void FrameStream::wake() {
    {
        std::lock_guard<std::mutex> guard(lock);
        woken = true;
    }
    cond.notify_all();
}

std::optional<VideoPicture> FrameStream::latest() {
    std::lock_guard<std::mutex> guard(lock);
    return latestPicture;
}

uint64_t FrameStream::changes() {
    std::lock_guard<std::mutex> guard(lock);
    return changeCount;
}

bool FrameStream::isStopped() {
    std::lock_guard<std::mutex> guard(lock);
    return stopped;
}

}  // namespace tovo
