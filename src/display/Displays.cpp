#include "display/Displays.h"

#include "base/Log.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace tovo {

nlohmann::json DisplayInfo::json() const {
    nlohmann::json object{{"id", id},     {"width", width},   {"height", height}, {"scale", scale},
                          {"main", main}, {"asleep", asleep}, {"kind", kind}};
    if (name) object["name"] = *name;
    return object;
}

DisplayError::DisplayError(Kind kind, int64_t id)
    : std::runtime_error(kind == Kind::noDisplay ? "no display" : "unknown display " + std::to_string(id)),
      kind(kind),
      id(id) {}

namespace {

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

}  // namespace

std::optional<std::vector<MonitorRecord>> Displays::parseMonitorLayout(std::string_view text) {
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

std::vector<DisplayInfo> Displays::fromMonitors(const std::vector<MonitorRecord>& monitors, bool asleep) {
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

Displays::Displays(DisplaySource& source, std::optional<std::string> layout, Pause pause)
    : source(source),
      logical(layout && !layout->empty() ? parseMonitorLayout(*layout) : std::nullopt),
      pause(std::move(pause)) {
    if (layout && !layout->empty() && !logical) log("displays: ignoring TOVO_X11_MONITORS=" + *layout);
}

std::vector<MonitorRecord> Displays::monitors() {
    std::vector<MonitorRecord> real = source.monitors();
    if (real.empty() || !logical) return real;
    return *logical;
}

std::vector<DisplayInfo> Displays::active() {
    std::vector<MonitorRecord> list = monitors();
    if (list.empty()) return {};
    return fromMonitors(list, source.asleep());
}

std::optional<DisplayInfo> Displays::info(uint32_t id) {
    for (const auto& display : active()) {
        if (display.id == id) return display;
    }
    return std::nullopt;
}

DisplayInfo Displays::require(uint32_t id) {
    auto found = info(id);
    if (!found) throw DisplayError(DisplayError::Kind::unknownDisplay, id);
    return *found;
}

uint32_t Displays::resolve(std::optional<int64_t> display) {
    std::vector<DisplayInfo> list = active();
    if (list.empty()) throw DisplayError(DisplayError::Kind::noDisplay, display.value_or(0));
    if (display) {
        for (const auto& d : list) {
            if (static_cast<int64_t>(d.id) == *display) return d.id;
        }
        throw DisplayError(DisplayError::Kind::unknownDisplay, *display);
    }
    for (const auto& d : list) {
        if (d.main) return d.id;
    }
    return list.front().id;
}

std::pair<int, int> Displays::scaledSize(double pixelWidth, double boundsWidth, double boundsHeight, int maxWidth) {
    auto even = [](double v) { return v < 2 ? 2 : static_cast<int>(std::floor(v / 2)) * 2; };
    int w = even(std::min(pixelWidth, static_cast<double>(maxWidth)));
    int h = even(std::round(boundsHeight * w / std::max(boundsWidth, 1.0)));
    return {w, h};
}

std::pair<int, int> Displays::targetSize(uint32_t display, int maxWidth) {
    auto found = info(display);
    if (!found) return scaledSize(0, 0, 0, maxWidth);
    return scaledSize(found->width * found->scale, found->width, found->height, maxWidth);
}

void Displays::wake(uint32_t) {
    if (!source.asleep()) return;
    source.declareUserActivity();
    for (int i = 0; i < 20; ++i) {
        if (!source.asleep()) break;
        pause(std::chrono::milliseconds(100));
    }
    pause(std::chrono::milliseconds(300));
}

}  // namespace tovo
