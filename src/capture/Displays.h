#pragma once

#include "platform/DisplaySource.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tovo {

// One active display. Sizes are in points; on X11 a point is a pixel and the scale is 1.
struct DisplayInfo {
    uint32_t id = 0;
    double x = 0;  // origin on the desktop
    double y = 0;
    double width = 0;
    double height = 0;
    double scale = 1.0;
    bool main = false;
    bool asleep = false;
    std::optional<std::string> name;
    std::string kind = "external";

    // {"id", "width", "height", "scale", "main", "asleep", "kind"} plus "name" when known.
    nlohmann::json json() const;
};

namespace Displays {

// Every monitor, mirrored ones included, in the desktop's order.
std::vector<uint32_t> online();
// The displays that mirror no other and have a size: one per distinct screen area.
std::vector<DisplayInfo> active();
std::optional<DisplayInfo> info(uint32_t id);
// The display a request names, or the main one. Throws HTTPError 503 when there is no
// display, 404 "unknown display {id}" for one that is not active.
uint32_t resolve(std::optional<int64_t> display);
// Picture size in pixels for `display` at most `maxWidth` wide: both even, at least 2.
std::pair<int, int> targetSize(uint32_t display, int maxWidth);
// Powers a sleeping display up and waits (up to about 2.3 s) for it.
void wake(uint32_t display);

// The list `active` builds from monitor records: mirrored and empty monitors dropped, the
// primary (else the first) one main.
std::vector<DisplayInfo> fromMonitors(const std::vector<MonitorRecord>& monitors, bool asleep);
// Parses a logical monitor layout "WxH+X+Y,…" (a trailing "*" marks the primary one;
// otherwise the first is). No value when the text does not parse.
std::optional<std::vector<MonitorRecord>> parseMonitorLayout(std::string_view text);
// `targetSize` for a display `pixelWidth` pixels wide whose bounds are `boundsWidth` ×
// `boundsHeight` points.
std::pair<int, int> scaledSize(double pixelWidth, double boundsWidth, double boundsHeight, int maxWidth);

// Replaces the desktop source (tests); null restores the platform's.
void setSource(std::shared_ptr<DisplaySource> source);

}  // namespace Displays
}  // namespace tovo
