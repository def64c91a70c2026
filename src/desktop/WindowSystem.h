#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// A rectangle in desktop pixels (points), top-left origin.
struct Rect {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    double midX() const { return x + w / 2; }
    double midY() const { return y + h / 2; }
    double area() const { return w > 0 && h > 0 ? w * h : 0; }
    bool contains(double px, double py) const { return px >= x && px < x + w && py >= y && py < y + h; }
    // The overlap, or an empty rectangle.
    Rect intersection(const Rect& other) const;
    bool operator==(const Rect&) const = default;
};

// An app as clients name it.
struct AppRef {
    int32_t pid = 0;
    std::optional<std::string> bundleId;
    std::string name;
    bool operator==(const AppRef&) const = default;
};

// Window levels, in the numbers clients know; the X11 backend maps window types onto them.
namespace WindowLevel {
inline constexpr int desktopIcon = -2147483603;  // the desktop itself
inline constexpr int normal = 0;
inline constexpr int floating = 3;  // kept above others
inline constexpr int mainMenu = 24;
inline constexpr int status = 25;      // docks and panels
inline constexpr int popUpMenu = 101;  // menus, tooltips
inline constexpr int overlay = 102;    // notifications
inline constexpr int cursor = 2147483630;
}  // namespace WindowLevel

// One top-level window as the desktop reports it.
struct WindowRecord {
    int32_t pid = 0;
    std::optional<std::string> bundleId;
    std::string name;
    std::string title;  // the window's own title (UTF-8); empty when it has none
    int layer = WindowLevel::normal;
    Rect bounds;   // with the window manager's frame
    Rect content;  // the application's own window, without the frame
    double alpha = 1.0;
    uint32_t id = 0;
    uint32_t frame = 0;   // the top-level window holding it (itself when unframed)
    bool chrome = false;  // a dock or panel of the desktop, attributed to the desktop shell
    bool onScreen = true;
    bool minimized = false;
};

// The desktop's windows. Each call asks the desktop afresh; callable from any thread.
class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // The mapped windows, front to back.
    virtual std::vector<WindowRecord> onScreenWindows() = 0;
    // Every window of the given processes, mapped, unmapped or minimised, in stacking order
    // (front to back) for the mapped ones.
    virtual std::vector<WindowRecord> windowsOf(const std::vector<int32_t>& pids) = 0;
    // The window with this id (a client or its frame), mapped or not.
    virtual std::optional<WindowRecord> window(uint32_t id) = 0;
    // The app that draws the desktop (the role a file manager's desktop plays), if any.
    virtual std::optional<AppRef> desktopShell() = 0;
    // The process owning the active window, if any.
    virtual std::optional<int32_t> activePid() = 0;
    // Every app that has a window now: pid, bundle id, name.
    virtual std::vector<AppRef> runningApps() = 0;
};

}  // namespace tovo
