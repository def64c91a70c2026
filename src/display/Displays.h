#pragma once

#include "base/Clock.h"
#include "display/DisplaySource.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
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

// A display a request named that is not there, or no display at all.
class DisplayError : public std::runtime_error {
public:
    enum class Kind { noDisplay, unknownDisplay };
    DisplayError(Kind kind, int64_t id);
    const Kind kind;
    const int64_t id;  // the display asked for (unknownDisplay)
};

// The desktop's displays, read afresh from a DisplaySource at every call.
//
// Threads: any. The source must outlive this object.
class Displays {
public:
    // `layout`: a logical monitor layout that splits the X screen (TOVO_X11_MONITORS), used
    // instead of the real monitors while the desktop can be reached; ignored with one log
    // line when it does not parse. `pause` waits while a display wakes.
    Displays(DisplaySource& source, std::optional<std::string> layout = std::nullopt, Pause pause = sleepFor);

    // The displays that mirror no other and have a size: one per distinct screen area.
    std::vector<DisplayInfo> active();
    std::optional<DisplayInfo> info(uint32_t id);
    // The display a request names, or the main one. Throws DisplayError.
    uint32_t resolve(std::optional<int64_t> display);
    // The display `id`; throws DisplayError (unknownDisplay) when it is not active.
    DisplayInfo require(uint32_t id);
    // Picture size in pixels for `display` at most `maxWidth` wide: both even, at least 2.
    std::pair<int, int> targetSize(uint32_t display, int maxWidth);
    // Powers a sleeping display up and waits (up to about 2.3 s) for it.
    void wake(uint32_t display);

    // The list `active` builds from monitor records: mirrored and empty monitors dropped, the
    // primary (else the first) one main.
    static std::vector<DisplayInfo> fromMonitors(const std::vector<MonitorRecord>& monitors, bool asleep);
    // Parses a logical monitor layout "WxH+X+Y,…" (a trailing "*" marks the primary one;
    // otherwise the first is). No value when the text does not parse.
    static std::optional<std::vector<MonitorRecord>> parseMonitorLayout(std::string_view text);
    // `targetSize` for a display `pixelWidth` pixels wide whose bounds are `boundsWidth` ×
    // `boundsHeight` points.
    static std::pair<int, int> scaledSize(double pixelWidth, double boundsWidth, double boundsHeight, int maxWidth);

private:
    std::vector<MonitorRecord> monitors();

    DisplaySource& source;
    const std::optional<std::vector<MonitorRecord>> logical;
    const Pause pause;
};

}  // namespace tovo
