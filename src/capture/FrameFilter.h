#pragma once

#include "capture/HiddenApps.h"
#include "capture/ScreenCapturer.h"

#include <optional>
#include <set>
#include <string>
#include <utility>

namespace tovo {

// A rectangle in fractions of a picture (0…1). For crops, y is measured from the bottom
// edge, as clients give it.
struct UnitRect {
    double x = 0, y = 0, w = 0, h = 0;
    bool operator==(const UnitRect&) const = default;
};

// Which apps a picture shows or keeps out, and the rectangle of it wanted: the `visible`,
// `hide` and `crop` query values.
struct FrameFilter {
    std::optional<std::set<std::string>> visible;  // only these apps' windows, when given
    std::optional<UnitRect> crop;
    HiddenApps hidden;

    // True when apps are kept out beyond the service's own windows: a visible set, or a
    // hide list naming anything.
    bool filtersApps() const { return visible.has_value() || hidden.patterns.size() > 1; }
    // True when a bundle id's windows belong in the picture: not hidden, and in the visible
    // set (compared without regard to case) when there is one.
    bool shows(const std::optional<std::string>& bundleId) const;

    // Parses `hide`, then `visible`, then `crop`. No filter when none of them asks for
    // anything (a `hide` that names nothing). Throws BadInput with the caller's text.
    static std::optional<FrameFilter> parse(const std::optional<std::string>& visible,
                                            const std::optional<std::string>& hide,
                                            const std::optional<std::string>& crop);
    // The comma-separated bundle ids, trimmed, empty items dropped.
    static std::set<std::string> parseVisible(const std::string& text);
    // "x,y,w,h" clamped into the picture. Throws BadInput when it is not four finite
    // numbers or nothing of it lies inside.
    static UnitRect parseCrop(const std::string& text);
    // The X-Crop value: x,y,w,h each with 4 decimals.
    static std::string cropHeader(const UnitRect& crop);
    // The pixels a crop covers in a width × height picture, top-left origin (the crop's y
    // counts from the bottom edge), within the picture; empty when nothing is left.
    static PixelRect pixelRect(const UnitRect& crop, int width, int height);
    // The crop a pixel rectangle (top-left origin) of a width × height picture amounts to.
    static UnitRect unitRect(const PixelRect& pixels, int width, int height);
    // The size a picture of width × height is brought down to for `maxWidth`: unchanged
    // when it is not wider, else maxWidth rounded down to even by a height kept in
    // proportion, rounded down to even and at least 2.
    static std::pair<int, int> downscaledSize(int width, int height, int maxWidth);
};

}  // namespace tovo
