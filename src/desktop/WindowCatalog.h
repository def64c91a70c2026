#pragma once

#include "desktop/WindowSystem.h"
#include "display/Displays.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tovo {

nlohmann::json toJson(const AppRef& app);

// A snapshot of the on-screen windows, front to back, attributed to apps and placed on
// displays. Built per request; nothing is cached.
class WindowCatalog {
public:
    struct Display {
        uint32_t id = 0;
        Rect bounds;
    };
    // A window's part on one display, as fractions of the display.
    struct Placed {
        int32_t pid = 0;
        uint32_t display = 0;
        double x = 0, y = 0, w = 0, h = 0;
        int layer = 0;
        uint32_t id = 0;  // the window's id, as /app/screenshot and /app/ax take it
        std::string title;
    };

    // The desktop's catalog now, without this process's own windows.
    static WindowCatalog now(WindowSystem& windows, Displays& displays);
    // The active displays with their bounds.
    static std::vector<Display> activeDisplays(Displays& displays);
    // A catalog of `windows` (front to back): windows that are invisible, empty, at the
    // cursor's level or of process `ownPid` are left out.
    WindowCatalog(std::vector<WindowRecord> windows, std::vector<Display> displays, std::optional<AppRef> desktopShell,
                  int32_t ownPid);

    // The app a user would name for a window: desktop-level windows and the desktop's docks
    // and panels belong to the desktop shell, when one runs.
    AppRef owner(const WindowRecord& record) const;
    // Apps with their window counts, ordered by their front-most window.
    std::vector<std::pair<AppRef, int>> apps() const;
    // The display holding a rectangle's midpoint, else the one it overlaps most.
    std::optional<Display> displayOf(const Rect& rect) const;
    std::vector<Placed> placed(std::optional<uint32_t> display) const;
    // The app whose window is front-most at (x, y) of `display`, with the window's layer.
    std::optional<std::pair<AppRef, int>> hit(uint32_t display, double x, double y) const;
    // The app of `pid` as the catalog knows it (desktop chrome folded into the shell).
    AppRef app(int32_t pid, const std::optional<std::string>& bundleId, const std::string& name) const;

    nlohmann::json json(std::optional<uint32_t> display, const std::optional<AppRef>& focused) const;

    const std::vector<WindowRecord>& records() const { return windows; }
    const std::vector<Display>& displayList() const { return screens; }
    const std::optional<AppRef>& shell() const { return desktopShell; }

private:
    std::vector<WindowRecord> windows;
    std::vector<Display> screens;
    std::optional<AppRef> desktopShell;
};

// The app that has the keyboard focus: the owner of the active window, named as the
// catalog names it; none when no window is active.
std::optional<AppRef> focusedApp(const WindowCatalog& catalog, WindowSystem& windows);

// Rounds to 4 decimal places.
double round4(double value);

}  // namespace tovo
