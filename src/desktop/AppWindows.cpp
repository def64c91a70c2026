#include "desktop/AppWindows.h"

#include "base/Text.h"
#include "desktop/WindowCatalog.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace tovo::AppWindows {

nlohmann::json list(const std::string& bundleId, WindowSystem& system, Displays& screens) {
    std::vector<AppRef> matches;
    for (const auto& app : system.runningApps()) {
        if (app.bundleId && lowercased(*app.bundleId) == lowercased(bundleId)) matches.push_back(app);
    }
    if (matches.empty()) return {{"app", nullptr}, {"windows", nlohmann::json::array()}};
    std::vector<int32_t> pids;
    for (const auto& app : matches) pids.push_back(app.pid);

    std::vector<WindowCatalog::Display> displays = WindowCatalog::activeDisplays(screens);
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
                            {"title", record.title},
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

WindowRecord find(WindowSystem& system, int64_t id, const HiddenApps& hidden) {
    const std::string number = std::to_string(id);
    if (id < 1 || id > 4294967295LL) throw WindowError(WindowError::Kind::notFound, "no window " + number);
    auto record = system.window(static_cast<uint32_t>(id));
    if (!record) throw WindowError(WindowError::Kind::notFound, "no window " + number);
    if (record->pid == ::getpid() || hidden.hides(record->bundleId)) {
        throw WindowError(WindowError::Kind::hidden, "window " + number + " belongs to a hidden app");
    }
    return *record;
}

PicturePlan planPicture(const WindowRecord& record, Displays& screens, int maxWidth) {
    std::vector<DisplayInfo> infos = screens.active();
    std::vector<WindowCatalog::Display> displays;
    for (const auto& d : infos) displays.push_back({d.id, Rect{d.x, d.y, d.width, d.height}});
    auto display = WindowCatalog({}, displays, std::nullopt, 0).displayOf(record.bounds);
    if (!display && !displays.empty()) display = displays.front();
    if (display && display->bounds.area() <= 0) display.reset();

    double scale = 2.0;
    if (display) {
        for (const auto& info : infos) {
            if (info.id == display->id) scale = info.scale;
        }
    }
    // Both sides even and at least 2, at most maxWidth wide.
    double pw = std::max(record.bounds.w * scale, 2.0), ph = std::max(record.bounds.h * scale, 2.0);
    auto even = [](double v) { return std::max(2, static_cast<int>(v) / 2 * 2); };
    PicturePlan plan;
    plan.width = even(std::max(std::min(static_cast<double>(maxWidth), std::round(pw)), 2.0));
    plan.height = even(std::max(std::round(ph * plan.width / pw), 2.0));
    if (display) {
        const Rect& b = display->bounds;
        plan.display = display->id;
        plan.bounds = Rect{(record.bounds.x - b.x) / b.w, (record.bounds.y - b.y) / b.h, record.bounds.w / b.w,
                           record.bounds.h / b.h};
    }
    return plan;
}

}  // namespace tovo::AppWindows
