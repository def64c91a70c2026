#pragma once

#include <cstdint>

namespace tovo {

// A pointer image: premultiplied ARGB words (0xAARRGGBB), placed with its top-left corner
// at (left, top) in the picture's pixels (the hot spot already subtracted).
struct CursorImage {
    const uint32_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int left = 0;
    int top = 0;
};

// Draws `cursor` over a BGRX picture, clipped to it.
void compositeCursor(uint8_t* pixels, int width, int height, int stride, const CursorImage& cursor);

}  // namespace tovo
