// Masks are painted with Cairo straight into the BGRX buffer (Cairo's RGB24 is the same
// layout on little-endian machines); labels are laid out by Pango.
#include "capture/Masks.h"

#include "image/Scaler.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace tovo {
namespace {

PixelRect pixelsOf(const MaskOp& op, int width, int height) {
    int x0 = std::clamp(static_cast<int>(std::floor(op.x * width)), 0, width);
    int y0 = std::clamp(static_cast<int>(std::floor(op.y * height)), 0, height);
    int x1 = std::clamp(static_cast<int>(std::ceil((op.x + op.w) * width)), 0, width);
    int y1 = std::clamp(static_cast<int>(std::ceil((op.y + op.h) * height)), 0, height);
    return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

void writeLabel(cairo_t* cr, const PixelRect& r, const std::string& label, double pixelsPerPoint) {
    if (label.empty() || r.width < 4 || r.height < 4) return;
    cairo_save(cr);
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    cairo_clip(cr);
    std::unique_ptr<PangoLayout, decltype(&g_object_unref)> layout(pango_cairo_create_layout(cr), g_object_unref);
    std::unique_ptr<PangoFontDescription, decltype(&pango_font_description_free)> font(
        pango_font_description_from_string("Sans"), pango_font_description_free);
    const double size = std::max(10.0, 12.0 * pixelsPerPoint);
    pango_font_description_set_absolute_size(font.get(), size * PANGO_SCALE);
    pango_layout_set_font_description(layout.get(), font.get());
    pango_layout_set_text(layout.get(), label.c_str(), static_cast<int>(label.size()));
    const double margin = std::round(size * 0.75);
    pango_layout_set_width(layout.get(), static_cast<int>(std::max(1.0, r.width - 2 * margin) * PANGO_SCALE));
    pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_move_to(cr, r.x + margin, r.y + margin);
    pango_cairo_show_layout(cr, layout.get());
    cairo_restore(cr);
}

}  // namespace

PixelView applyMasks(const PixelView& picture, const std::vector<MaskOp>& ops, double pixelsPerPoint,
                     std::vector<uint8_t>& into) {
    PixelView out = copyPicture(picture, into);
    if (ops.empty() || out.width <= 0 || out.height <= 0) return out;
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create_for_data(into.data(), CAIRO_FORMAT_RGB24, out.width, out.height, out.stride),
        cairo_surface_destroy);
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> cr(cairo_create(surface.get()), cairo_destroy);
    for (const auto& op : ops) {
        PixelRect r = pixelsOf(op, out.width, out.height);
        if (r.width == 0 || r.height == 0) continue;
        if (op.kind == MaskOp::Kind::mask) {
            cairo_set_source_rgb(cr.get(), maskGrey / 255.0, maskGrey / 255.0, maskGrey / 255.0);
            cairo_rectangle(cr.get(), r.x, r.y, r.width, r.height);
            cairo_fill(cr.get());
            writeLabel(cr.get(), r, op.label, pixelsPerPoint);
            continue;
        }
        cairo_surface_flush(surface.get());
        for (int y = r.y; y < r.y + r.height; ++y) {
            std::memcpy(into.data() + static_cast<size_t>(y) * out.stride + static_cast<size_t>(r.x) * 4,
                        picture.data + static_cast<size_t>(y) * picture.stride + static_cast<size_t>(r.x) * 4,
                        static_cast<size_t>(r.width) * 4);
        }
        cairo_surface_mark_dirty(surface.get());
    }
    cairo_surface_flush(surface.get());
    return out;
}

}  // namespace tovo
