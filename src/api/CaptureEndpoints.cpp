// GET /frame and GET /app/screenshot: JPEG pictures of a display and of one window.
#include "api/Endpoints.h"
#include "api/ErrorMapping.h"
#include "api/Query.h"
#include "capture/FrameFilter.h"
#include "capture/HiddenApps.h"
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

}  // namespace tovo::Endpoints
