#include "display/OwnLayers.h"

#include <algorithm>

namespace tovo {

void OwnLayers::set(uint32_t id, Layer layer) {
    MutexLock guard(lock);
    layers[id] = std::move(layer);
}

void OwnLayers::remove(uint32_t id) {
    MutexLock guard(lock);
    layers.erase(id);
}

std::vector<OwnLayers::Layer> OwnLayers::list() const {
    MutexLock guard(lock);
    std::vector<Layer> out;
    for (const auto& [id, layer] : layers) out.push_back(layer);
    return out;
}

uint8_t OwnLayers::under(uint8_t seen, uint8_t layer, uint8_t alpha) {
    // seen = layer + under × (255 − alpha) / 255, rounded; solved for under.
    const int rest = 255 - alpha;
    if (rest <= 0) return seen;
    const int value = ((static_cast<int>(seen) - layer) * 255 + rest / 2) / rest;
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

void OwnLayers::removeFrom(uint8_t* picture, int stride, const PixelRect& rect) const {
    for (const auto& layer : list()) {
        const PixelRect& at = layer.place;
        const int x0 = std::max(rect.x, at.x), y0 = std::max(rect.y, at.y);
        const int x1 = std::min(rect.x + rect.width, at.x + at.width);
        const int y1 = std::min(rect.y + rect.height, at.y + at.height);
        if (x1 <= x0 || y1 <= y0 || !layer.pixels) continue;
        const uint8_t* source = layer.pixels->data();
        for (int y = y0; y < y1; ++y) {
            const uint8_t* in = source + (static_cast<size_t>(y - at.y) * at.width + (x0 - at.x)) * 4;
            uint8_t* out = picture + static_cast<size_t>(y - rect.y) * stride + static_cast<size_t>(x0 - rect.x) * 4;
            for (int x = x0; x < x1; ++x, in += 4, out += 4) {
                const uint8_t alpha = in[3];
                if (alpha == 0) continue;
                for (int c = 0; c < 3; ++c) out[c] = under(out[c], in[c], alpha);
            }
        }
    }
}

}  // namespace tovo
