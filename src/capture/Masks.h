#pragma once

#include "capture/ScreenCapturer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tovo {

// One step of covering a picture, in fractions of the picture (top-left origin).
struct MaskOp {
    enum class Kind { mask, reveal };
    Kind kind = Kind::mask;
    double x = 0, y = 0, w = 0, h = 0;
    std::string label;  // written into a mask; empty for a hidden app

    bool operator==(const MaskOp&) const = default;
};

// The grey of a mask: sRGB 58/255 on every channel.
inline constexpr uint8_t maskGrey = 58;

// `picture` with `ops` applied in order (back to front): a mask paints its rectangle grey
// and writes its label in white at max(10, 12 × pixelsPerPoint) pixels; a reveal puts the
// original pixels of its rectangle back on top. The result lives in `into`.
PixelView applyMasks(const PixelView& picture, const std::vector<MaskOp>& ops, double pixelsPerPoint,
                     std::vector<uint8_t>& into);

}  // namespace tovo
