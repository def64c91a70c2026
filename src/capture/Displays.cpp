#include "capture/Displays.h"

#include "base/Clock.h"
#include "base/PlatformInstance.h"

#include "http/HTTPError.h"
#include "service/ScreenHost.h"
#include "service/SessionInfo.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace tovo {

nlohmann::json DisplayInfo::json() const {
    nlohmann::json object{{"id", id},         {"width", width},   {"height", height}, {"scale", scale},
                          {"main", main},     {"asleep", asleep}, {"kind", kind}};
    if (name) object["name"] = *name;
    return object;
}

namespace Displays {
namespace {

PlatformInstance<DisplaySource> sources;

// The replacement is held for the whole call, so a test may swap it at any time.
std::shared_ptr<DisplaySource> source() {
    if (auto replacement = sources.override()) return replacement;
    return std::shared_ptr<DisplaySource>(&sources.get(), [](DisplaySource*) {});
}

std::optional<int> parseInt(std::string_view& text) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return value;
}

bool consume(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

// The monitors the desktop reports, or the logical layout TOVO_X11_MONITORS asks for (as
// long as the desktop can be reached at all).
std::vector<MonitorRecord> monitors(DisplaySource& desktop) {
    std::vector<MonitorRecord> real = desktop.monitors();
    const char* layout = std::getenv("TOVO_X11_MONITORS");
    if (real.empty() || !layout || !*layout) return real;
    if (auto logical = parseMonitorLayout(layout)) return *logical;
    static std::once_flag warned;
    std::call_once(warned, [&] { ScreenHost::logSink(std::string("displays: ignoring TOVO_X11_MONITORS=") + layout); });
    return real;
}

}  // namespace

std::optional<std::vector<MonitorRecord>> parseMonitorLayout(std::string_view text) {
    std::vector<MonitorRecord> out;
    bool anyPrimary = false;
    while (!text.empty()) {
        MonitorRecord record;
        auto width = parseInt(text);
        if (!width || !consume(text, 'x')) return std::nullopt;
        auto height = parseInt(text);
        if (!height) return std::nullopt;
        int position[2];
        for (int& p : position) {
            int sign = consume(text, '+') ? 1 : consume(text, '-') ? -1 : 0;
            if (sign == 0) return std::nullopt;
            auto value = parseInt(text);
            if (!value || *value < 0) return std::nullopt;
            p = sign * *value;
        }
        record.primary = consume(text, '*');
        if (*width <= 0 || *height <= 0) return std::nullopt;
        if (!text.empty() && (!consume(text, ',') || text.empty())) return std::nullopt;
        record.id = static_cast<uint32_t>(out.size() + 1);
        record.width = *width;
        record.height = *height;
        record.x = position[0];
        record.y = position[1];
        anyPrimary = anyPrimary || record.primary;
        out.push_back(record);
    }
    if (out.empty()) return std::nullopt;
    if (!anyPrimary) out.front().primary = true;
    return out;
}

std::vector<DisplayInfo> fromMonitors(const std::vector<MonitorRecord>& monitors, bool asleep) {
    std::vector<DisplayInfo> out;
    std::vector<const MonitorRecord*> kept;
    for (const auto& m : monitors) {
        if (m.width <= 0 || m.height <= 0) continue;
        bool mirrors = false;
        for (const auto* earlier : kept) {
            mirrors = mirrors || (earlier->x == m.x && earlier->y == m.y && earlier->width == m.width &&
                                  earlier->height == m.height);
        }
        if (mirrors) continue;
        kept.push_back(&m);
        DisplayInfo info;
        info.id = m.id;
        info.x = m.x;
        info.y = m.y;
        info.width = m.width;
        info.height = m.height;
        info.asleep = asleep;
        info.name = m.name;
        info.kind = m.kind;
        out.push_back(info);
    }
    size_t mainIndex = 0;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (kept[i]->primary) {
            mainIndex = i;
            break;
        }
    }
    if (!out.empty()) out[mainIndex].main = true;
    return out;
}

std::vector<uint32_t> online() {
    std::vector<uint32_t> ids;
    auto desktop = source();
    for (const auto& m : monitors(*desktop)) ids.push_back(m.id);
    return ids;
}

std::vector<DisplayInfo> active() {
    auto desktop = source();
    std::vector<MonitorRecord> list = monitors(*desktop);
    if (list.empty()) return {};
    return fromMonitors(list, desktop->asleep());
}

std::optional<DisplayInfo> info(uint32_t id) {
    for (const auto& display : active()) {
        if (display.id == id) return display;
    }
    return std::nullopt;
}

uint32_t resolve(std::optional<int64_t> display) {
    std::vector<DisplayInfo> list = active();
    if (list.empty()) {
        throw HTTPError(503, SessionInfo::current() ? "this session has no display attached"
                                                    : "no GUI login session for this macOS user");
    }
    if (display) {
        for (const auto& d : list) {
            if (static_cast<int64_t>(d.id) == *display) return d.id;
        }
        throw HTTPError(404, "unknown display " + std::to_string(*display));
    }
    for (const auto& d : list) {
        if (d.main) return d.id;
    }
    return list.front().id;
}

std::pair<int, int> scaledSize(double pixelWidth, double boundsWidth, double boundsHeight, int maxWidth) {
    auto even = [](double v) { return v < 2 ? 2 : static_cast<int>(std::floor(v / 2)) * 2; };
    int w = even(std::min(pixelWidth, static_cast<double>(maxWidth)));
    int h = even(std::round(boundsHeight * w / std::max(boundsWidth, 1.0)));
    return {w, h};
}

std::pair<int, int> targetSize(uint32_t display, int maxWidth) {
    auto found = info(display);
    if (!found) return scaledSize(0, 0, 0, maxWidth);
    return scaledSize(found->width * found->scale, found->width, found->height, maxWidth);
}

void wake(uint32_t) {
    auto desktop = source();
    if (!desktop->asleep()) return;
    desktop->declareUserActivity();
    for (int i = 0; i < 20; ++i) {
        if (!desktop->asleep()) break;
        pauseFor(std::chrono::milliseconds(100));
    }
    pauseFor(std::chrono::milliseconds(300));
}

void setSource(std::shared_ptr<DisplaySource> replacement) { sources.replace(std::move(replacement)); }

}  // namespace Displays
}  // namespace tovo
