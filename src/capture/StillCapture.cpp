#include "capture/StillCapture.h"

#include <future>
#include <thread>

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

// The idle workers. Shared with window captures that outlive their request, so that a
// late capture can still give its worker back.
struct StillCapture::Pool {
    static constexpr size_t maxIdle = 4;

    explicit Pool(CapturerFactory makeCapturer) : makeCapturer(std::move(makeCapturer)) {}

    std::unique_ptr<Worker> take() {
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

    void give(std::unique_ptr<Worker> worker) {
        if (!worker->capturer->usable()) return;
        std::lock_guard<std::mutex> guard(lock);
        if (idle.size() < maxIdle) idle.push_back(std::move(worker));
    }

    // The dead workers are destroyed after the lock is released (`dead` outlives `guard`).
    void prune() {
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

    const CapturerFactory makeCapturer;
    std::mutex lock;  // guards idle
    std::vector<std::unique_ptr<Worker>> idle;
};

StillCapture::StillCapture(Displays& displays, CapturerFactory makeCapturer)
    : displays(displays), pool(std::make_shared<Pool>(std::move(makeCapturer))) {}

StillCapture::~StillCapture() = default;

void StillCapture::prune() { pool->prune(); }

JPEGFrame StillCapture::frame(const CaptureParams& params) {
    displays.wake(params.display);
    DisplayInfo display = displays.require(params.display);
    auto [width, height] = Displays::scaledSize(display.width * display.scale, display.width, display.height, params.maxWidth);

    JPEGFrame frame;
    frame.display = params.display;
    frame.width = width;
    frame.height = height;
    auto worker = pool->take();
    PixelRect rect{static_cast<int>(display.x), static_cast<int>(display.y), static_cast<int>(display.width),
                   static_cast<int>(display.height)};
    frame.data = worker->encode(worker->capturer->capture(rect, true), width, height, params.quality);
    pool->give(std::move(worker));
    return frame;
}

std::optional<std::string> StillCapture::window(uint32_t window, int width, int height, int quality,
                                                std::chrono::milliseconds within) {
    // The capture runs on a thread of its own, which owns what it touches, so that a server
    // that never answers cannot hold the caller beyond `within`.
    auto result = std::make_shared<std::promise<std::string>>();
    auto answer = result->get_future();
    std::thread([pool = pool, result, window, width, height, quality] {
        try {
            auto worker = pool->take();
            result->set_value(worker->encode(worker->capturer->captureWindow(window), width, height, quality));
            pool->give(std::move(worker));
        } catch (...) {
            result->set_exception(std::current_exception());
        }
    }).detach();
    if (answer.wait_for(within) != std::future_status::ready) return std::nullopt;
    return answer.get();
}

}  // namespace tovo
