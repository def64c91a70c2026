#include "image/Scaler.h"

#include <libyuv/scale_argb.h>

#include <cstring>

namespace tovo {

PixelView Scaler::scale(const PixelView& source, int width, int height) {
    if (width == source.width && height == source.height) return source;
    const int stride = width * 4;
    buffer.resize(static_cast<size_t>(stride) * static_cast<size_t>(height));
    // libyuv's ARGB is B, G, R, A in memory: the same layout as BGRX.
    libyuv::ARGBScale(source.data, source.stride, source.width, source.height, buffer.data(), stride, width, height,
                      libyuv::kFilterBox);
    return {buffer.data(), width, height, stride};
}

PixelView copyPicture(const PixelView& source, std::vector<uint8_t>& into) {
    const int stride = source.width * 4;
    into.resize(static_cast<size_t>(stride) * static_cast<size_t>(source.height));
    for (int y = 0; y < source.height; ++y) {
        std::memcpy(into.data() + static_cast<size_t>(y) * stride, source.data + static_cast<size_t>(y) * source.stride,
                    static_cast<size_t>(stride));
    }
    return {into.data(), source.width, source.height, stride};
}

}  // namespace tovo
