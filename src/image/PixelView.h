#pragma once

#include <cstdint>

namespace tovo {

// Pixels in memory order B, G, R, X (4 bytes each), rows `stride` bytes apart. A view
// does not own its memory; see where it comes from for how long it stays valid.
struct PixelView {
    const uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

}  // namespace tovo
