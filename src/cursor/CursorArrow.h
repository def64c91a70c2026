#pragma once

#include "cursor/ClientCursor.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tovo {

// The built-in arrow: a black arrow with a white outline, drawn when the desktop's own
// cursor cannot be read.
struct CursorImage {
    int width = 0;
    int height = 0;
    int hotspotX = 0;
    int hotspotY = 0;
    std::vector<uint8_t> rgba;  // premultiplied alpha, rows packed
    int visibleHeight = 0;      // rows from the first to the last one with any alpha

    // The arrow at `unit` pixels per arrow unit (the arrow is 11 × 17.8 units).
    static CursorImage makeArrow(double unit);
    // The arrow whose visible height is as near `visibleHeight` pixels as a few renders get.
    static CursorImage arrow(int visibleHeight);
};

// The built-in arrow as a shape (id 0) for a display of `width` × `height` pixels: its
// visible height is 1.625 % of the display's width. None for a display of zero size.
std::optional<ClientCursorShape> builtinArrow(double width, double height);

}  // namespace tovo
