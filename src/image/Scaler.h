#pragma once

#include "image/PixelView.h"

#include <cstdint>
#include <vector>

namespace tovo {

// Scales BGRX pictures with box filtering (area averaging when shrinking, which keeps text
// legible). Owns its output buffer and reuses it from one picture to the next.
class Scaler {
public:
    // `source` scaled to width × height; valid until the next call.
    PixelView scale(const PixelView& source, int width, int height);

private:
    std::vector<uint8_t> buffer;
};

// A copy of `source` into `into` (tightly packed), reusing its memory.
PixelView copyPicture(const PixelView& source, std::vector<uint8_t>& into);

}  // namespace tovo
