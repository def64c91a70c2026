#include "capture/StillCapture.h"

namespace tovo {

struct StillCapture::Worker {
    std::unique_ptr<ScreenCapturer> capturer;
    Scaler scaler;
    JPEGEncoder encoder;

    std::string encode(const PixelView& picture, int width, int height, int quality) {
        auto jpeg = encoder.encode(scaler.scale(picture, width, height), quality);
        if (!jpeg) throw CaptureFailure("JPEG encoding failed");
        return std::move(*jpeg);
    }
};

StillCapture::StillCapture(Displays& displays, CapturerFactory makeCapturer)
    : displays(displays), makeCapturer(std::move(makeCapturer)) {}

StillCapture::~StillCapture() = default;

std::unique_ptr<StillCapture::Worker> StillCapture::take() {
    prune();
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!idle.empty()) {
            auto worker = std::move(idle.back());
            idle.pop_back();
            return worker;
        }
    }
    auto worker = std::make_unique<Worker>();
    worker->capturer = makeCapturer();
    return worker;
}

void StillCapture::give(std::unique_ptr<Worker> worker) {
    if (!worker->capturer->usable()) return;
    std::lock_guard<std::mutex> guard(lock);
    if (idle.size() < maxIdle) idle.push_back(std::move(worker));
}

// Drops idle workers whose display went away, with their shared memory, outside the lock.
void StillCapture::prune() {
    std::vector<std::unique_ptr<Worker>> dead;
    std::lock_guard<std::mutex> guard(lock);
    for (auto it = idle.begin(); it != idle.end();) {
        if ((*it)->capturer->usable()) {
            ++it;
        } else {
            dead.push_back(std::move(*it));
            it = idle.erase(it);
        }
    }
}

JPEGFrame StillCapture::frame(const CaptureParams& params) {
    // Capturers of a display that went away give their shared memory back even when no
    // picture can be taken now.
    prune();
    displays.wake(params.display);
    DisplayInfo display = displays.require(params.display);
    auto [width, height] = Displays::scaledSize(display.width * display.scale, display.width, display.height, params.maxWidth);

    JPEGFrame frame;
    frame.display = params.display;
    frame.width = width;
    frame.height = height;
    auto worker = take();
    PixelRect rect{static_cast<int>(display.x), static_cast<int>(display.y), static_cast<int>(display.width),
                   static_cast<int>(display.height)};
    frame.data = worker->encode(worker->capturer->capture(rect, true), width, height, params.quality);
    give(std::move(worker));
    return frame;
}

std::string StillCapture::window(uint32_t window, int width, int height, int quality) {
    auto worker = take();
    std::string jpeg = worker->encode(worker->capturer->captureWindow(window), width, height, quality);
    give(std::move(worker));
    return jpeg;
}

}  // namespace tovo
