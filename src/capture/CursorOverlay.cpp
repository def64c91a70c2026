#include "capture/CursorOverlay.h"

#include <algorithm>
#include <cstddef>

namespace tovo {

void compositeCursor(uint8_t* pixels, int width, int height, int stride, const CursorImage& cursor) {
    const int x0 = std::max(0, cursor.left), x1 = std::min(width, cursor.left + cursor.width);
    const int y0 = std::max(0, cursor.top), y1 = std::min(height, cursor.top + cursor.height);
    for (int y = y0; y < y1; ++y) {
        uint8_t* row = pixels + static_cast<std::ptrdiff_t>(y) * stride;
        const uint32_t* source = cursor.pixels + static_cast<std::ptrdiff_t>(y - cursor.top) * cursor.width;
        for (int x = x0; x < x1; ++x) {
            uint32_t argb = source[x - cursor.left];
            uint32_t alpha = argb >> 24;
            if (alpha == 0) continue;
            uint8_t* pixel = row + x * 4;
            const uint32_t inverse = 255 - alpha;
            // Premultiplied source over opaque destination, per channel (B, G, R).
            for (int c = 0; c < 3; ++c) {
                uint32_t s = (argb >> (8 * c)) & 0xFF;
                uint32_t d = pixel[c];
                pixel[c] = static_cast<uint8_t>(std::min<uint32_t>(255, s + (d * inverse + 127) / 255));
            }
        }
    }
}

}  // namespace tovo
