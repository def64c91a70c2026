#include "service/DesktopPlatform.h"

#include "wayland/WaylandClient.h"
#include "x11/X11Connection.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tovo {

std::vector<std::string> desktopPlatforms() { return {"x11", "wlroots"}; }

DesktopPlatformChoice chooseDesktopPlatform(const std::optional<std::string>& requested,
                                            const std::function<DesktopEnvironment()>& probe) {
    const auto known = desktopPlatforms();
    if (!requested) {
        const DesktopEnvironment found = probe();
        if (found.wlroots && (!found.x11 || found.waylandSession)) return {"wlroots", {}};
        return {"x11", {}};
    }
    if (std::find(known.begin(), known.end(), *requested) != known.end()) return {*requested, {}};
    std::string list;
    for (const auto& name : known) list += (list.empty() ? "" : ", ") + name;
    return {std::nullopt, "unknown backend " + *requested + " (this build has " + list + ")"};
}

DesktopEnvironment probeDesktopEnvironment() {
    DesktopEnvironment found;
    const char* session = std::getenv("XDG_SESSION_TYPE");
    found.waylandSession = session && std::strcmp(session, "wayland") == 0;
    if (const char* name = std::getenv("WAYLAND_DISPLAY"); name && *name) {
        if (auto connection = wayland::Connection::open())
            found.wlroots = connection->has("zwlr_screencopy_manager_v1");
    }
    if (const char* name = std::getenv("DISPLAY"); name && *name) {
        bool broken = false;
        if (Display* display = x11::openDisplay(&broken)) {
            found.x11 = true;
            XCloseDisplay(display);
        }
    }
    return found;
}

}  // namespace tovo
