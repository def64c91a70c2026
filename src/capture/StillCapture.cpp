#include "capture/StillCapture.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <future>
#include <thread>

namespace tovo {

struct StillCapture::Worker {
    std::unique_ptr<ScreenCapturer> capturer;
    Scaler scaler;
    JPEGEncoder encoder;
    std::vector<uint8_t> masked;

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
            MutexLock guard(lock);
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
        MutexLock guard(lock);
        if (idle.size() < maxIdle) idle.push_back(std::move(worker));
    }

    // The dead workers are destroyed after the lock is released (`dead` outlives `guard`).
    void prune() {
        std::vector<std::unique_ptr<Worker>> dead;
        MutexLock guard(lock);
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
    Mutex lock;  // guards idle
    std::vector<std::unique_ptr<Worker>> idle TOVO_GUARDED_BY(lock);
};

StillCapture::StillCapture(Displays& displays, CapturerFactory makeCapturer)
    : displays(displays), pool(std::make_shared<Pool>(std::move(makeCapturer))) {}

StillCapture::~StillCapture() = default;

void StillCapture::prune() { pool->prune(); }

namespace {

// What a composed picture's window list depends on: the display and the apps filtered.
std::string planKey(const CaptureParams& params, const FrameFilter& filter) {
    std::string key = std::to_string(params.display) + "|";
    if (filter.visible) {
        for (const auto& id : *filter.visible) key += id + ",";
    }
    key += "|";
    for (const auto& pattern : filter.hidden.patterns) key += pattern + ",";
    return key;
}

PixelRect rectOf(const DisplayInfo& display) {
    return {static_cast<int>(display.x), static_cast<int>(display.y), static_cast<int>(display.width),
            static_cast<int>(display.height)};
}

}  // namespace

DisplayInfo StillCapture::awake(uint32_t display) {
    displays.wake(display);
    return displays.require(display);
}

JPEGFrame StillCapture::frame(const CaptureParams& params, const FrameFilter& filter, const FilterPlanner& plan) {
    return make(params, awake(params.display), filter, plan);
}

JPEGFrame StillCapture::make(const CaptureParams& params, const DisplayInfo& display, const FrameFilter& filter,
                             const FilterPlanner& plan) {
    const PixelRect rect = rectOf(display);
    JPEGFrame frame;
    frame.display = params.display;
    auto worker = pool->take();
    PixelView picture;
    if (filter.filtersApps()) {
        FilteredPicture filtered = captureFiltered(
            *worker->capturer, rect, true, plans.windows(planKey(params, filter), plan), [&] { return plan().masks; },
            worker->masked);
        if (filtered.fallback)
            log("frame: native visible filter unavailable (" + *filtered.fallback + "); covering instead");
        picture = filtered.picture;
        frame.filter = filtered.mode;
    } else {
        picture = worker->capturer->capture(rect, true);
    }
    std::pair<int, int> size =
        Displays::scaledSize(display.width * display.scale, display.width, display.height, params.maxWidth);
    if (filter.crop) {
        PixelRect cut = FrameFilter::pixelRect(*filter.crop, picture.width, picture.height);
        if (cut.width > 0 && cut.height > 0) {
            frame.crop = FrameFilter::unitRect(cut, picture.width, picture.height);
            picture.data += static_cast<size_t>(cut.y) * picture.stride + static_cast<size_t>(cut.x) * 4;
            picture.width = cut.width;
            picture.height = cut.height;
            size = FrameFilter::downscaledSize(cut.width, cut.height, params.maxWidth);
        }
    }
    frame.width = size.first;
    frame.height = size.second;
    frame.data = worker->encode(picture, size.first, size.second, params.quality);
    pool->give(std::move(worker));
    return frame;
}

JPEGFrame StillCapture::frame(const CaptureParams& params) {
    const DisplayInfo display = awake(params.display);
    // Taken before the picture: a change while it is made moves the next mark on.
    std::optional<ScreenMark> mark = markOf(rectOf(display));
    if (mark) {
        MutexLock guard(lastLock);
        if (last && last->params == params && last->mark == *mark) return last->frame;
    }
    JPEGFrame picture = make(params, display, FrameFilter{}, {});
    if (mark) {
        MutexLock guard(lastLock);
        last = Reusable{params, *mark, picture};
    }
    return picture;
}

std::optional<ScreenMark> StillCapture::markOf(const PixelRect& rect) {
    MutexLock guard(watching);
    try {
        if (watcher && !watcher->usable()) watcher.reset();
        if (!watcher) watcher = pool->makeCapturer();
        return watcher->mark(rect);
    } catch (const CaptureFailure&) {
        // No marks without a connection of their own; pictures are made afresh each time.
        watcher.reset();
        return std::nullopt;
    }
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
