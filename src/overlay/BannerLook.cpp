#include "overlay/BannerLook.h"

#include <cmath>

namespace tovo::BannerLook {

PangoLayout* layout(cairo_t* cr, const std::string& text) {
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string("Sans Medium");
    pango_font_description_set_absolute_size(font, 13 * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
    return layout;
}

void capsulePath(cairo_t* cr, double x, double y, double width, double height) {
    const double r = height / 2;
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + width - r, y + r, r, -M_PI / 2, M_PI / 2);
    cairo_arc(cr, x + r, y + r, r, M_PI / 2, 3 * M_PI / 2);
    cairo_close_path(cr);
}

}  // namespace tovo::BannerLook
