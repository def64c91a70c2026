#include "capture/FrameFilter.h"

#include "base/BadInput.h"
#include "base/Text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tovo {
namespace {

std::optional<double> finiteNumber(const std::string& text) {
    std::string item(trimmed(text));
    if (item.empty()) return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(item.c_str(), &end);
    if (end != item.c_str() + item.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

bool FrameFilter::shows(const std::optional<std::string>& bundleId) const {
    if (hidden.hides(bundleId)) return false;
    if (!visible) return true;
    if (!bundleId) return false;
    // Bundle ids are matched without regard to case: X11 class names are capitalised
    // ("XTerm") where clients tend to write them in lower case.
    const std::string wanted = lowercased(*bundleId);
    for (const auto& id : *visible) {
        if (lowercased(id) == wanted) return true;
    }
    return false;
}

std::optional<FrameFilter> FrameFilter::parse(const std::optional<std::string>& visible,
                                              const std::optional<std::string>& hide,
                                              const std::optional<std::string>& crop) {
    FrameFilter filter;
    filter.hidden = HiddenApps::parse(hide);
    if (visible) {
        std::set<std::string> wanted;
        for (const auto& id : parseVisible(*visible)) {
            if (!filter.hidden.hides(id)) wanted.insert(id);
        }
        filter.visible = std::move(wanted);
    }
    if (crop) filter.crop = parseCrop(*crop);
    if (!filter.filtersApps() && !filter.crop) return std::nullopt;
    return filter;
}

std::set<std::string> FrameFilter::parseVisible(const std::string& text) {
    std::set<std::string> ids;
    for (const auto& piece : splitOn(text, ',')) {
        if (auto item = trimmed(piece); !item.empty()) ids.emplace(item);
    }
    return ids;
}

UnitRect FrameFilter::parseCrop(const std::string& text) {
    const auto pieces = splitOn(text, ',');
    std::vector<double> numbers;
    for (const auto& piece : pieces) {
        auto number = finiteNumber(std::string(piece));
        if (!number) break;
        numbers.push_back(*number);
    }
    if (pieces.size() != 4 || numbers.size() != 4) throw BadInput("crop must be x,y,w,h (normalized 0…1)");
    auto clamp01 = [](double v) { return std::clamp(v, 0.0, 1.0); };
    double x0 = clamp01(numbers[0]), y0 = clamp01(numbers[1]);
    double x1 = clamp01(numbers[0] + numbers[2]), y1 = clamp01(numbers[1] + numbers[3]);
    if (x1 <= x0 || y1 <= y0) throw BadInput("crop is empty inside the picture");
    return {x0, y0, x1 - x0, y1 - y0};
}

std::string FrameFilter::cropHeader(const UnitRect& crop) {
    char text[128];
    std::snprintf(text, sizeof(text), "%.4f,%.4f,%.4f,%.4f", crop.x, crop.y, crop.w, crop.h);
    return text;
}

PixelRect FrameFilter::pixelRect(const UnitRect& crop, int width, int height) {
    // In bottom-up rows first, as the crop is given, then turned to top-down rows.
    int x0 = std::max(0, static_cast<int>(std::floor(crop.x * width)));
    int y0 = std::max(0, static_cast<int>(std::floor(crop.y * height)));
    int x1 = std::min(width, static_cast<int>(std::ceil((crop.x + crop.w) * width)));
    int y1 = std::min(height, static_cast<int>(std::ceil((crop.y + crop.h) * height)));
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, height - y1, x1 - x0, y1 - y0};
}

UnitRect FrameFilter::unitRect(const PixelRect& pixels, int width, int height) {
    double w = std::max(width, 1), h = std::max(height, 1);
    return {pixels.x / w, (height - pixels.y - pixels.height) / h, pixels.width / w, pixels.height / h};
}

std::pair<int, int> FrameFilter::downscaledSize(int width, int height, int maxWidth) {
    if (maxWidth < 1 || width <= maxWidth) return {width, height};
    int w = maxWidth == 1 ? 2 : maxWidth / 2 * 2;
    int h = static_cast<int>(std::lround(static_cast<double>(height) * w / width));
    h = std::max(2, h / 2 * 2);
    return {w, h};
}

}  // namespace tovo
