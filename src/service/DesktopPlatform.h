#pragma once

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

// The platform to run: the requested one (--backend) when this build has it, else the one
// this desktop runs. Today that is always x11, which also serves a headless X server.
DesktopPlatformChoice chooseDesktopPlatform(const std::optional<std::string>& requested);

}  // namespace tovo
