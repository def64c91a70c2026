#include "cursor/CursorArrow.h"

#include "image/PNG.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace tovo {
namespace {

struct P {
    double x, y;
};

constexpr std::array<P, 7> corners{
    {{0, 0}, {0, 15.5}, {3.7, 12.0}, {6.3, 17.8}, {8.6, 16.8}, {6.0, 11.2}, {11.0, 11.0}}};

bool inside(const std::array<P, 7>& polygon, double x, double y) {
    bool in = false;
    for (size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
        const P &a = polygon[i], &b = polygon[j];
        if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x) in = !in;
    }
    return in;
}

double distanceToSegment(P p, P a, P b) {
    double dx = b.x - a.x, dy = b.y - a.y;
    double length = dx * dx + dy * dy;
    double t = length > 0 ? std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / length, 0.0, 1.0) : 0;
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

double distanceToEdges(const std::array<P, 7>& polygon, P p) {
    double best = INFINITY;
    for (size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
        best = std::min(best, distanceToSegment(p, polygon[j], polygon[i]));
    }
    return best;
}

}  // namespace

CursorImage CursorImage::makeArrow(double unit) {
    const double outline = 1.3 * unit;
    const double pad = std::ceil(1.3 * unit) + 1;
    std::array<P, 7> polygon;
    for (size_t i = 0; i < corners.size(); ++i) polygon[i] = {corners[i].x * unit + pad, corners[i].y * unit + pad};
    CursorImage image;
    image.width = static_cast<int>(std::ceil(11 * unit + 2 * pad));
    image.height = static_cast<int>(std::ceil(17.8 * unit + 2 * pad));
    image.hotspotX = image.hotspotY = static_cast<int>(pad);
    image.rgba.assign(static_cast<size_t>(image.width) * image.height * 4, 0);
    int firstRow = -1, lastRow = -1;
    for (int row = 0; row < image.height; ++row) {
        for (int column = 0; column < image.width; ++column) {
            int opaque = 0, white = 0;
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) {
                    P sample{column + (i + 0.5) / 4, row + (j + 0.5) / 4};
                    if (inside(polygon, sample.x, sample.y)) {
                        ++opaque;
                    } else if (distanceToEdges(polygon, sample) <= outline) {
                        ++opaque;
                        ++white;
                    }
                }
            }
            uint8_t* pixel = &image.rgba[(static_cast<size_t>(row) * image.width + column) * 4];
            auto level = static_cast<uint8_t>(std::lround(255.0 * white / 16));
            pixel[0] = pixel[1] = pixel[2] = level;
            pixel[3] = static_cast<uint8_t>(std::lround(255.0 * opaque / 16));
            if (pixel[3] != 0) {
                if (firstRow < 0) firstRow = row;
                lastRow = row;
            }
        }
    }
    image.visibleHeight = firstRow < 0 ? 0 : lastRow - firstRow + 1;
    return image;
}

CursorImage CursorImage::arrow(int visibleHeight) {
    const int target = std::max(visibleHeight, 8);
    double unit = target / 20.4;
    CursorImage best = makeArrow(unit);
    for (int attempt = 0; attempt < 3 && best.visibleHeight != target; ++attempt) {
        unit = unit * target / std::max(best.visibleHeight, 1);
        CursorImage next = makeArrow(unit);
        if (std::abs(next.visibleHeight - target) < std::abs(best.visibleHeight - target)) best = std::move(next);
    }
    return best;
}

std::optional<ClientCursorShape> builtinArrow(double width, double height) {
    static std::once_flag made;
    static CursorImage image;
    static std::string png;
    std::call_once(made, [] {
        image = CursorImage::arrow(52);
        // PNG stores straight alpha: undo the premultiplication.
        std::vector<uint8_t> straight = image.rgba;
        for (size_t i = 0; i < straight.size(); i += 4) {
            uint8_t a = straight[i + 3];
            for (int c = 0; c < 3; ++c)
                straight[i + c] = a ? static_cast<uint8_t>(std::min(255, straight[i + c] * 255 / a)) : 0;
        }
        png = PNG::encodeRGBA(straight.data(), image.width, image.height);
    });
    if (width <= 0 || height <= 0 || png.empty() || image.visibleHeight == 0) return std::nullopt;
    const double s = 0.01625 / image.visibleHeight;
    const double aspect = width / height;
    return ClientCursorShape{
        0, png, s * image.hotspotX, aspect * s * image.hotspotY, s * image.width, aspect * s * image.height};
}

}  // namespace tovo
