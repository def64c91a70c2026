#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The desktop platforms this build runs on. Each provides what speaks to the display
// server: the session, displays, capture, input, windows, clipboard, cursor and overlay.
// The rest (accessibility, audio, encoders, the remote listener) is the same on all.
std::vector<std::string> desktopPlatforms();

struct DesktopPlatformChoice {
    std::optional<std::string> name;
    std::string error;  // without a name: why
};

// What answers on this machine, as far as choosing a platform goes.
struct DesktopEnvironment {
    bool x11 = false;             // an X server opens ($DISPLAY)
    bool wlroots = false;         // a Wayland compositor answers ($WAYLAND_DISPLAY) and offers wlr-screencopy
    bool waylandSession = false;  // the login session is a Wayland one ($XDG_SESSION_TYPE)
};

// The platform to run: the requested one (--backend) when this build has it; else wlroots
// when a wlroots compositor answers and either no X server does or the session is a Wayland
// one (its X server is then the compositor's Xwayland, which sees only X11 windows); else
// x11, which also serves a headless X server. `probe` is asked only without a request.
DesktopPlatformChoice chooseDesktopPlatform(const std::optional<std::string>& requested,
                                            const std::function<DesktopEnvironment()>& probe);

// Asks this machine's X server and Wayland compositor.
DesktopEnvironment probeDesktopEnvironment();

}  // namespace tovo
