#include "capture/StillCapture.h"

#include "capture/Displays.h"
#include "capture/JPEGEncoder.h"
#include "capture/Scaler.h"
#include "platform/ScreenCapturer.h"
#include "service/ScreenHost.h"
#include "service/ScreenPermissions.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace tovo {
namespace {

// What one still capture needs besides its parameters; kept between requests so that a
// picture allocates nothing and reuses its X connection and shared memory.
struct StillWorker {
    std::unique_ptr<ScreenCapturer> capturer = ScreenCapturer::create();
    Scaler scaler;
    JPEGEncoder encoder;
};

// Idle workers, at most a few: concurrent requests take one each (or make a new one) and
// give it back when done, unless its connection broke.
class WorkerPool {
public:
    std::unique_ptr<StillWorker> take() {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!idle.empty()) {
                auto worker = std::move(idle.back());
                idle.pop_back();
                return worker;
            }
        }
        return std::make_unique<StillWorker>();
    }
    // Drops idle workers whose display went away, with their shared memory.
    void prune() {
        std::vector<std::unique_ptr<StillWorker>> dead;
        {
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
    }
    void give(std::unique_ptr<StillWorker> worker) {
        if (!worker->capturer->usable()) return;
        std::lock_guard<std::mutex> guard(lock);
        if (idle.size() < maxIdle) idle.push_back(std::move(worker));
    }

private:
    static constexpr size_t maxIdle = 4;
    std::mutex lock;  // guards idle
    std::vector<std::unique_ptr<StillWorker>> idle;
};

WorkerPool& pool() {
    static WorkerPool* shared = new WorkerPool();  // lives for the process
    return *shared;
}

std::string permissionMessage() { return "Screen Recording permission is not granted to " + ScreenHost::appName; }

}  // namespace

CaptureParams CaptureParams::parse(const HTTPRequest& request) {
    CaptureParams params;
    params.display = Displays::resolve(request.integer("display"));
    auto width = request.integer("maxWidth").value_or(defaultWidth);
    params.maxWidth = static_cast<int>(std::clamp<int64_t>(width, minWidth, maxMaxWidth));
    auto quality = request.integer("quality").value_or(defaultQuality);
    params.quality = static_cast<int>(std::clamp<int64_t>(quality, minQuality, maxQuality));
    return params;
}

HTTPError captureError(const std::exception& error) {
    if (auto http = dynamic_cast<const HTTPError*>(&error)) return *http;
    if (!ScreenPermissions::screenRecording()) return HTTPError(403, permissionMessage());
    return HTTPError(500, std::string("capture failed: ") + error.what());
}

JPEGFrame captureFrameOnce(const CaptureParams& params) {
    Displays::wake(params.display);
    auto display = Displays::info(params.display);
    if (!display) throw HTTPError(404, "unknown display " + std::to_string(params.display));
    auto [width, height] = Displays::scaledSize(display->width * display->scale, display->width, display->height,
                                                params.maxWidth);

    JPEGFrame frame;
    frame.display = params.display;
    frame.width = width;
    frame.height = height;
    std::unique_ptr<StillWorker> worker;
    try {
        worker = pool().take();
        PixelRect rect{static_cast<int>(display->x), static_cast<int>(display->y), static_cast<int>(display->width),
                       static_cast<int>(display->height)};
        PixelView picture = worker->capturer->capture(rect, true);
        PixelView scaled = worker->scaler.scale(picture, width, height);
        auto jpeg = worker->encoder.encode(scaled, params.quality);
        if (!jpeg) throw HTTPError(500, "JPEG encoding failed");
        frame.data = std::move(*jpeg);
    } catch (const std::exception& error) {
        throw captureError(error);
    }
    pool().give(std::move(worker));
    return frame;
}

std::string captureWindowOnce(uint32_t window, int width, int height, int quality) {
    auto worker = pool().take();
    PixelView picture = worker->capturer->captureWindow(window);
    PixelView scaled = worker->scaler.scale(picture, width, height);
    auto jpeg = worker->encoder.encode(scaled, quality);
    pool().give(std::move(worker));
    if (!jpeg) throw HTTPError(500, "JPEG encoding failed");
    return std::move(*jpeg);
}

void respondFrame(const JPEGFrame& frame, Connection& connection) {
    Connection::Headers headers{{"X-Frame-Width", std::to_string(frame.width)},
                                {"X-Frame-Height", std::to_string(frame.height)},
                                {"X-Display", std::to_string(frame.display)},
                                {"Cache-Control", "no-store"}};
    if (frame.crop) {
        char text[128];
        std::snprintf(text, sizeof(text), "%.4f,%.4f,%.4f,%.4f", (*frame.crop)[0], (*frame.crop)[1], (*frame.crop)[2],
                      (*frame.crop)[3]);
        headers.emplace_back("X-Crop", text);
    }
    if (frame.filter) headers.emplace_back("X-Frame-Filter", *frame.filter);
    headers.emplace_back("Content-Type", "image/jpeg");
    headers.emplace_back("Content-Length", std::to_string(frame.data.size()));
    if (connection.writeHead(200, headers, connection.persistent) && connection.transport->send(frame.data)) {
        connection.reusable = connection.persistent;
    }
}

void frame(HTTPRequest& request, Connection& connection) {
    pool().prune();
    CaptureParams params = CaptureParams::parse(request);
    // The visible/hide/crop filter is not read yet: pictures always show the whole display.
    if (!ScreenPermissions::screenRecording()) throw HTTPError(403, permissionMessage());
    respondFrame(captureFrameOnce(params), connection);
}

}  // namespace tovo
