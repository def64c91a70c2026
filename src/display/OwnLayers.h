#pragma once

#include "base/Mutex.h"
#include "display/PixelRect.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace tovo {

// What this process draws over the screen as translucent layers (the automation banner on
// Wayland, where the compositor blends it into every picture): each layer's premultiplied
// pixels and where they are on screen. Captures take them back out of their pictures by
// undoing the blend, which works wherever a layer is not opaque; layers keep their alpha at
// `maxAlpha` or below so that every pixel comes back within a few levels.
//
// Threads: any; one lock guards the table and is held only to copy it.
class OwnLayers {
public:
    static constexpr uint8_t maxAlpha = 160;

    struct Layer {
        PixelRect place;  // desktop pixels
        // Premultiplied B, G, R, A bytes, place.width × place.height, rows packed.
        std::shared_ptr<const std::vector<uint8_t>> pixels;
    };

    // Layer `id` is on screen now (the compositor has shown it).
    void set(uint32_t id, Layer layer);
    void remove(uint32_t id);
    std::vector<Layer> list() const;

    // Takes every layer out of `picture` (BGRX, `stride` bytes per row), which shows the
    // desktop's `rect`.
    void removeFrom(uint8_t* picture, int stride, const PixelRect& rect) const;

    // One pixel's colour channel under a layer: `seen` is what the picture shows, `layer`
    // the layer's premultiplied channel and `alpha` its alpha (below 255).
    static uint8_t under(uint8_t seen, uint8_t layer, uint8_t alpha);

private:
    mutable Mutex lock;  // guards layers
    std::map<uint32_t, Layer> layers TOVO_GUARDED_BY(lock);
};

}  // namespace tovo
