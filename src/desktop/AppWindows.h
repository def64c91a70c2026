#pragma once

#include "capture/HiddenApps.h"
#include "desktop/WindowError.h"
#include "desktop/WindowSystem.h"
#include "display/Displays.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace tovo::AppWindows {

// Every window of the apps with `bundleId` (compared without case), on screen or not, in
// the order: on-screen normal windows, other on-screen windows, off-screen windows,
// minimised windows. {"app": null, "windows": []} when no such app runs.
nlohmann::json list(const std::string& bundleId, WindowSystem& windows, Displays& displays);

// The window `id`. Throws WindowError: notFound, or hidden for a window of this process or
// of an app in `hidden`.
WindowRecord find(WindowSystem& windows, int64_t id, const HiddenApps& hidden);

// How a picture of one window is sized and placed.
struct PicturePlan {
    int width = 2;
    int height = 2;
    std::optional<uint32_t> display;  // the display holding the window, when there is one
    Rect bounds;                      // the window on that display, in fractions of it
};
// The picture of `record` at most `maxWidth` pixels wide.
PicturePlan planPicture(const WindowRecord& record, Displays& displays, int maxWidth);

}  // namespace tovo::AppWindows
