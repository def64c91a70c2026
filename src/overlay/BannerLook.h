#pragma once

#include <cairo.h>
#include <pango/pangocairo.h>

#include <string>

namespace tovo::BannerLook {

// How the automation banner looks on every desktop: an orange border and, near the top of
// each display, a capsule of the same orange with white words.
inline constexpr double orange[3] = {1.0, 0.55, 0.16};
inline constexpr double capsuleShade = 0.92;  // the capsule's orange, a little darker than the border
inline constexpr int borderWidth = 6;         // the stroke of 6 around a rectangle inset by 3
inline constexpr int capsuleTop = 10;         // below the top of the work area

// The capsule's words set in its font; the caller unrefs the layout.
PangoLayout* layout(cairo_t* cr, const std::string& text);
// A capsule's outline (a rectangle with round ends) as the current path.
void capsulePath(cairo_t* cr, double x, double y, double width, double height);

}  // namespace tovo::BannerLook
