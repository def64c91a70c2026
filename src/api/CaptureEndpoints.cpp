// GET /frame and GET /app/screenshot: JPEG pictures of a display and of one window.
#include "api/Endpoints.h"
#include "api/ErrorMapping.h"
#include "api/Query.h"
#include "base/Clock.h"
#include "base/Text.h"
#include "capture/FrameFilter.h"
#include "capture/HiddenApps.h"
#include "capture/ScreenSettle.h"
#include "desktop/AppWindows.h"
#include "desktop/FramePlan.h"

#include <chrono>

namespace tovo::Endpoints {
namespace {

constexpr auto windowPictureWithin = std::chrono::seconds(5);

void sendJPEG(Connection& connection, Connection::Headers headers, const std::string& jpeg) {
    headers.emplace_back("Content-Type", "image/jpeg");
    headers.emplace_back("Content-Length", std::to_string(jpeg.size()));
    if (connection.writeHead(200, headers, connection.persistent) && connection.transport->send(jpeg)) {
        connection.reusable = connection.persistent;
    }
}

}  // namespace

FilterPlanner filterPlanner(const Deps& deps, uint32_t display, const FrameFilter& filter) {
    return [&deps, display, filter] {
        WindowCatalog catalog = WindowCatalog::now(deps.desktop.windows, deps.desktop.displays);
        return FilterPlan{NativeFilterPlan::make(catalog, filter).windows, maskOps(catalog, display, filter)};
    };
}

void frame(const Deps& deps, HTTPRequest& request, Connection& connection) {
    // Before anything can fail: capturers of a display that went away give their shared
    // memory back.
    deps.capture.stills.prune();
    CaptureParams params = Query::captureParams(request, deps.desktop.displays);
    auto filter = Query::frameFilter(request);
    if (!deps.desktop.session.canCaptureScreen()) throw HTTPError(403, noCaptureText);
    JPEGFrame picture = filter
                            ? deps.capture.stills.frame(params, *filter, filterPlanner(deps, params.display, *filter))
                            : deps.capture.stills.frame(params);
    Connection::Headers headers{{"X-Frame-Width", std::to_string(picture.width)},
                                {"X-Frame-Height", std::to_string(picture.height)},
                                {"X-Display", std::to_string(picture.display)},
                                {"Cache-Control", "no-store"}};
    if (picture.crop) headers.emplace_back("X-Crop", FrameFilter::cropHeader(*picture.crop));
    if (picture.filter) headers.emplace_back("X-Frame-Filter", toString(*picture.filter));
    sendJPEG(connection, std::move(headers), picture.data);
}

void windowScreenshot(const Deps& deps, HTTPRequest& request, Connection& connection) {
    int maxWidth = Query::clamped(request, "maxWidth", 1280, 160, 3840);
    int quality = Query::clamped(request, "quality", 70, 10, 95);
    auto asked = request.integer("window");
    if (!asked) throw HTTPError(400, "window is required");
    const std::string number = std::to_string(*asked);
    WindowRecord record =
        AppWindows::find(deps.desktop.windows, *asked, HiddenApps::parse(Query::value(request, "hide")));
    if (!deps.desktop.session.canCaptureScreen()) throw HTTPError(403, noCaptureText);
    if (record.minimized) throw HTTPError(409, "window " + number + " is minimized");
    auto plan = AppWindows::planPicture(record, deps.desktop.displays, maxWidth);

    std::optional<std::string> jpeg;
    try {
        jpeg = deps.capture.stills.window(record.frame, plan.width, plan.height, quality, windowPictureWithin);
    } catch (const CaptureFailure& error) {
        HTTPError mapped = ErrorMapping::of(error, deps.desktop.session);
        if (mapped.status == 403) throw mapped;
        throw HTTPError(409, "no picture of window " + number + ": " + error.what());
    }
    if (!jpeg) throw HTTPError(409, "no picture of window " + number + " within 5 s");

    Connection::Headers headers{{"X-Frame-Width", std::to_string(plan.width)},
                                {"X-Frame-Height", std::to_string(plan.height)},
                                {"X-Window", number},
                                {"Cache-Control", "no-store"}};
    if (plan.display) {
        headers.emplace_back("X-Display", std::to_string(*plan.display));
        // The same four fractions as X-Crop's.
        headers.emplace_back("X-Window-Bounds", FrameFilter::cropHeader(UnitRect{plan.bounds.x, plan.bounds.y,
                                                                                 plan.bounds.w, plan.bounds.h}));
    }
    sendJPEG(connection, std::move(headers), *jpeg);
}

void settle(const Deps& deps, HTTPRequest& request, Connection& connection) {
    const uint32_t id = deps.desktop.displays.resolve(request.integer("display"));
    const int quietMs = Query::clamped(request, "quietMs", 150, 10, 10000);
    const int timeoutMs = Query::clamped(request, "timeoutMs", 3000, 0, 60000);
    if (!deps.desktop.session.canCaptureScreen()) throw HTTPError(403, noCaptureText);
    const DisplayInfo display = deps.desktop.displays.require(id);
    PixelRect rect{static_cast<int>(display.x), static_cast<int>(display.y), static_cast<int>(display.width),
                   static_cast<int>(display.height)};
    // rect=x,y,w,h: a part of the display, in fractions from its top-left corner.
    if (auto part = Query::value(request, "rect")) {
        std::vector<double> n;
        for (std::string_view view : splitOn(*part, ',')) {
            const std::string piece(view);
            char* end = nullptr;
            double value = std::strtod(piece.c_str(), &end);
            if (piece.empty() || *end != '\0' || !(value >= 0 && value <= 1)) {
                throw HTTPError(400, "rect must be x,y,w,h (fractions 0…1)");
            }
            n.push_back(value);
        }
        if (n.size() != 4 || n[2] <= 0 || n[3] <= 0) throw HTTPError(400, "rect must be x,y,w,h (fractions 0…1)");
        rect = {rect.x + static_cast<int>(n[0] * rect.width), rect.y + static_cast<int>(n[1] * rect.height),
                std::max(1, static_cast<int>(n[2] * rect.width)), std::max(1, static_cast<int>(n[3] * rect.height))};
    }
    std::unique_ptr<ScreenCapturer> capturer = deps.capture.makeCapturer();
    SettleWatch::Result result;
    try {
        result = waitForSettle(*capturer, rect, quietMs / 1000.0, timeoutMs / 1000.0, monotonicSeconds, sleepFor);
    } catch (const CaptureFailure& failure) {
        throw HTTPError(503, failure.what());
    }
    connection.json(
        200, {{"settled", result.settled}, {"waitedMs", static_cast<int64_t>(result.waited * 1000)}, {"display", id}});
}

}  // namespace tovo::Endpoints
