#include "desktop/AppWindows.h"

#include "base/Text.h"
#include "capture/Displays.h"
#include "capture/HiddenApps.h"
#include "capture/StillCapture.h"
#include "desktop/WindowCatalog.h"
#include "http/HTTPError.h"
#include "service/ScreenHost.h"
#include "service/ScreenPermissions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace tovo::AppWindows {
namespace {

}  // namespace

nlohmann::json list(const std::string& bundleId) {
    WindowSystem& system = windowSystem();
    std::vector<AppRef> matches;
    for (const auto& app : system.runningApps()) {
        if (app.bundleId && lowercased(*app.bundleId) == lowercased(bundleId)) matches.push_back(app);
    }
    if (matches.empty()) return {{"app", nullptr}, {"windows", nlohmann::json::array()}};
    std::vector<int32_t> pids;
    for (const auto& app : matches) pids.push_back(app.pid);

    std::vector<WindowCatalog::Display> displays = WindowCatalog::activeDisplays();
    WindowCatalog placement({}, displays, std::nullopt, 0);

    struct Entry {
        int group;
        nlohmann::json json;
    };
    std::vector<Entry> entries;
    for (const auto& record : system.windowsOf(pids)) {
        if (record.alpha <= 0 || record.layer < 0 || record.layer >= WindowLevel::mainMenu) continue;
        double minimum = record.onScreen ? 40 : 80;
        if (record.bounds.w < minimum || record.bounds.h < minimum) continue;
        auto display = placement.displayOf(record.bounds);
        if (!display && !displays.empty()) display = displays.front();
        if (!display || display->bounds.area() <= 0) continue;
        const Rect& b = display->bounds;
        bool minimized = !record.onScreen && record.minimized;
        int group = record.onScreen ? (record.layer == WindowLevel::normal ? 0 : 1) : (minimized ? 3 : 2);
        entries.push_back({group,
                           {{"id", record.id},
                            {"display", display->id},
                            {"x", round4((record.bounds.x - b.x) / b.w)},
                            {"y", round4((record.bounds.y - b.y) / b.h)},
                            {"w", round4(record.bounds.w / b.w)},
                            {"h", round4(record.bounds.h / b.h)},
                            {"onScreen", record.onScreen},
                            {"minimized", minimized}}});
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.group < b.group; });
    nlohmann::json windows = nlohmann::json::array();
    for (auto& entry : entries) windows.push_back(std::move(entry.json));

    AppRef app = matches.front();
    if (app.name.empty()) app.name = bundleId;
    return {{"app", toJson(app)}, {"windows", windows}};
}

void handle(HTTPRequest& request, Connection& connection) {
    auto it = request.query.find("bundleId");
    std::string bundleId(it == request.query.end() ? "" : trimmed(it->second));
    if (bundleId.empty()) throw HTTPError(400, "bundleId is required");
    connection.json(200, list(bundleId));
}

}  // namespace tovo::AppWindows

namespace tovo::AppWindows {
namespace {

// Picture size of a window of pw × ph pixels at most maxWidth wide: both even, at least 2.
std::pair<int, int> pictureSize(double pw, double ph, int maxWidth) {
    pw = std::max(pw, 2.0);
    ph = std::max(ph, 2.0);
    auto even = [](double v) { return std::max(2, static_cast<int>(v) / 2 * 2); };
    int width = even(std::max(std::min(static_cast<double>(maxWidth), std::round(pw)), 2.0));
    int height = even(std::max(std::round(ph * width / pw), 2.0));
    return {width, height};
}

}  // namespace

WindowRecord requireWindow(const HTTPRequest& request) {
    auto asked = request.integer("window");
    if (!asked) throw HTTPError(400, "window is required");
    const std::string number = std::to_string(*asked);
    if (*asked < 1 || *asked > 4294967295LL) throw HTTPError(404, "no window " + number);
    auto record = windowSystem().window(static_cast<uint32_t>(*asked));
    if (!record) throw HTTPError(404, "no window " + number);
    auto hide = request.query.find("hide");
    HiddenApps hidden = HiddenApps::parse(hide == request.query.end() ? std::nullopt : std::optional(hide->second));
    if (record->pid == ::getpid() || hidden.hides(record->bundleId)) {
        throw HTTPError(403, "window " + number + " belongs to a hidden app");
    }
    return *record;
}

void screenshot(HTTPRequest& request, Connection& connection) {
    int maxWidth = static_cast<int>(std::clamp<int64_t>(request.integer("maxWidth").value_or(1280), 160, 3840));
    int quality = static_cast<int>(std::clamp<int64_t>(request.integer("quality").value_or(70), 10, 95));
    auto record = std::optional<WindowRecord>(requireWindow(request));
    const std::string number = std::to_string(*request.integer("window"));
    if (!ScreenPermissions::screenRecording()) {
        throw HTTPError(403, "Screen Recording permission is not granted to " + ScreenHost::appName);
    }

    std::vector<WindowCatalog::Display> displays;
    std::vector<DisplayInfo> infos = Displays::active();
    for (const auto& d : infos) displays.push_back({d.id, Rect{d.x, d.y, d.width, d.height}});
    auto display = WindowCatalog({}, displays, std::nullopt, 0).displayOf(record->bounds);
    if (!display && !displays.empty()) display = displays.front();
    if (display && display->bounds.area() <= 0) display.reset();

    if (record->minimized) throw HTTPError(409, "window " + number + " is minimized");
    double scale = 2.0;
    if (display) {
        for (const auto& info : infos) {
            if (info.id == display->id) scale = info.scale;
        }
    }
    auto [width, height] = pictureSize(record->bounds.w * scale, record->bounds.h * scale, maxWidth);
    std::string jpeg;
    try {
        jpeg = captureWindowOnce(record->frame, width, height, quality);
    } catch (const HTTPError&) {
        throw;
    } catch (const std::exception& error) {
        HTTPError mapped = captureError(error);
        if (mapped.status == 403) throw mapped;
        throw HTTPError(409, "no picture of window " + number + ": " + error.what());
    }

    Connection::Headers headers{{"Content-Type", "image/jpeg"},
                                {"Content-Length", std::to_string(jpeg.size())},
                                {"X-Frame-Width", std::to_string(width)},
                                {"X-Frame-Height", std::to_string(height)},
                                {"X-Window", number},
                                {"Cache-Control", "no-store"}};
    if (display) {
        const Rect& b = display->bounds;
        char bounds[128];
        std::snprintf(bounds, sizeof bounds, "%.4f,%.4f,%.4f,%.4f", (record->bounds.x - b.x) / b.w,
                      (record->bounds.y - b.y) / b.h, record->bounds.w / b.w, record->bounds.h / b.h);
        headers.emplace_back("X-Display", std::to_string(display->id));
        headers.emplace_back("X-Window-Bounds", bounds);
    }
    if (connection.writeHead(200, headers, connection.persistent) && connection.transport->send(jpeg)) {
        connection.reusable = connection.persistent;
    }
}

}  // namespace tovo::AppWindows
