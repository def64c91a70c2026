#include "desktop/WindowCatalog.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace tovo {

Rect Rect::intersection(const Rect& o) const {
    double x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    double x1 = std::min(x + w, o.x + o.w), y1 = std::min(y + h, o.y + o.h);
    if (x1 <= x0 || y1 <= y0) return Rect{};
    return Rect{x0, y0, x1 - x0, y1 - y0};
}

nlohmann::json toJson(const AppRef& app) {
    return {{"pid", app.pid},
            {"bundleId", app.bundleId ? nlohmann::json(*app.bundleId) : nlohmann::json()},
            {"name", app.name}};
}

double round4(double value) { return std::round(value * 10000) / 10000; }

WindowCatalog::WindowCatalog(std::vector<WindowRecord> records, std::vector<Display> displays,
                             std::optional<AppRef> desktopShell, int32_t ownPid)
    : screens(std::move(displays)), desktopShell(std::move(desktopShell)) {
    for (auto& record : records) {
        if (record.pid == ownPid) continue;
        if (record.alpha <= 0) continue;
        if (record.bounds.w <= 0 || record.bounds.h <= 0) continue;
        if (record.layer >= WindowLevel::cursor) continue;
        windows.push_back(std::move(record));
    }
}

std::vector<WindowCatalog::Display> WindowCatalog::activeDisplays(Displays& displays) {
    std::vector<Display> out;
    for (const auto& d : displays.active()) out.push_back({d.id, Rect{d.x, d.y, d.width, d.height}});
    return out;
}

WindowCatalog WindowCatalog::now(WindowSystem& windows, Displays& displays) {
    return WindowCatalog(windows.onScreenWindows(), activeDisplays(displays), windows.desktopShell(), ::getpid());
}

AppRef WindowCatalog::owner(const WindowRecord& record) const {
    bool folded = record.layer <= WindowLevel::desktopIcon || record.chrome;
    if (folded && desktopShell) return *desktopShell;
    return AppRef{record.pid, record.bundleId, record.name};
}

AppRef WindowCatalog::app(int32_t pid, const std::optional<std::string>& bundleId, const std::string& name) const {
    for (const auto& record : windows) {
        if (record.pid == pid && record.chrome && desktopShell) return *desktopShell;
    }
    return AppRef{pid, bundleId, name};
}

std::vector<std::pair<AppRef, int>> WindowCatalog::apps() const {
    std::vector<std::pair<AppRef, int>> out;
    std::map<int32_t, size_t> index;
    for (const auto& record : windows) {
        AppRef app = owner(record);
        auto it = index.find(app.pid);
        if (it == index.end()) {
            index[app.pid] = out.size();
            out.emplace_back(app, 1);
        } else {
            ++out[it->second].second;
        }
    }
    return out;
}

std::optional<WindowCatalog::Display> WindowCatalog::displayOf(const Rect& rect) const {
    for (const auto& d : screens) {
        if (d.bounds.contains(rect.midX(), rect.midY())) return d;
    }
    const Display* best = nullptr;
    double bestArea = 0;
    for (const auto& d : screens) {
        double area = d.bounds.intersection(rect).area();
        if (area > bestArea) {
            best = &d;
            bestArea = area;
        }
    }
    if (!best) return std::nullopt;
    return *best;
}

std::vector<WindowCatalog::Placed> WindowCatalog::placed(std::optional<uint32_t> only) const {
    std::vector<Placed> out;
    for (const auto& record : windows) {
        auto display = displayOf(record.bounds);
        if (!display || (only && display->id != *only)) continue;
        Rect clip = record.bounds.intersection(display->bounds);
        if (clip.area() <= 0 || display->bounds.area() <= 0) continue;
        const Rect& b = display->bounds;
        out.push_back({owner(record).pid, display->id, (clip.x - b.x) / b.w, (clip.y - b.y) / b.h, clip.w / b.w,
                       clip.h / b.h, record.layer, record.id, record.title});
    }
    return out;
}

std::optional<std::pair<AppRef, int>> WindowCatalog::hit(uint32_t displayId, double x, double y) const {
    auto display = std::find_if(screens.begin(), screens.end(), [&](const Display& d) { return d.id == displayId; });
    if (display == screens.end()) return std::nullopt;
    const Rect& b = display->bounds;
    double px = b.x + std::min(x * b.w, b.w - 0.5), py = b.y + std::min(y * b.h, b.h - 0.5);
    for (const auto& record : windows) {
        if (record.bounds.contains(px, py)) return std::make_pair(owner(record), record.layer);
    }
    return std::nullopt;
}

nlohmann::json WindowCatalog::json(std::optional<uint32_t> display, const std::optional<AppRef>& focused) const {
    nlohmann::json appList = nlohmann::json::array();
    for (const auto& [app, count] : apps()) {
        nlohmann::json entry = toJson(app);
        entry["windows"] = count;
        appList.push_back(entry);
    }
    nlohmann::json windowList = nlohmann::json::array();
    for (const auto& p : placed(display)) {
        windowList.push_back({{"pid", p.pid},
                              {"display", p.display},
                              {"x", round4(p.x)},
                              {"y", round4(p.y)},
                              {"w", round4(p.w)},
                              {"h", round4(p.h)},
                              {"layer", p.layer},
                              {"id", p.id},
                              {"title", p.title}});
    }
    return {{"apps", appList}, {"windows", windowList}, {"focused", focused ? toJson(*focused) : nlohmann::json()}};
}

std::optional<AppRef> focusedApp(const WindowCatalog& catalog, WindowSystem& system) {
    auto pid = system.activePid();
    if (!pid || *pid < 1) {
        // No active window: the front-most normal window stands in.
        for (const auto& record : catalog.records()) {
            if (record.layer == WindowLevel::normal) {
                pid = record.pid;
                break;
            }
        }
        if (!pid) return std::nullopt;
    }
    for (const auto& record : catalog.records()) {
        if (record.pid == *pid) return catalog.app(record.pid, record.bundleId, record.name);
    }
    for (const auto& app : system.runningApps()) {
        if (app.pid == *pid) return catalog.app(app.pid, app.bundleId, app.name);
    }
    return AppRef{*pid, std::nullopt, "pid " + std::to_string(*pid)};
}

}  // namespace tovo
