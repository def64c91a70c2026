#include "desktop/AppWindows.h"

#include "capture/Displays.h"
#include "desktop/WindowCatalog.h"
#include "http/HTTPError.h"

#include <algorithm>
#include <cctype>

namespace tovo::AppWindows {
namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trimmed(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(start, end - start + 1);
}

}  // namespace

nlohmann::json list(const std::string& bundleId) {
    WindowSystem& system = windowSystem();
    std::vector<AppRef> matches;
    for (const auto& app : system.runningApps()) {
        if (app.bundleId && lowered(*app.bundleId) == lowered(bundleId)) matches.push_back(app);
    }
    if (matches.empty()) return {{"app", nullptr}, {"windows", nlohmann::json::array()}};
    std::vector<int32_t> pids;
    for (const auto& app : matches) pids.push_back(app.pid);

    std::vector<WindowCatalog::Display> displays;
    for (const auto& d : Displays::active()) displays.push_back({d.id, Rect{d.x, d.y, d.width, d.height}});
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
    std::string bundleId = it == request.query.end() ? "" : trimmed(it->second);
    if (bundleId.empty()) throw HTTPError(400, "bundleId is required");
    connection.json(200, list(bundleId));
}

}  // namespace tovo::AppWindows
