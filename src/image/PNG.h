#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovo {

// PNG through libpng. Byte strings are held in std::string.
namespace PNG {

// Encodes `rgba` (width × height pixels, 4 bytes each, straight alpha, rows packed) as PNG.
std::string encodeRGBA(const uint8_t* rgba, int width, int height);

struct Size {
    int width = 0;
    int height = 0;
};
// The pixel size in a PNG's header; none when `png` does not start like a PNG.
std::optional<Size> size(std::string_view png);

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;  // straight alpha, rows packed
};
// Decodes any PNG to RGBA; none when it cannot be read.
std::optional<Image> decode(std::string_view png);

}  // namespace PNG
}  // namespace tovo
