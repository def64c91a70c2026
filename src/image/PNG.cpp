#include "image/PNG.h"

#include <png.h>

#include <cstring>

namespace tovo::PNG {

std::string encodeRGBA(const uint8_t* rgba, int width, int height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba, 0, nullptr)) return {};
    std::string out(size, '\0');
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgba, 0, nullptr)) return {};
    out.resize(size);
    return out;
}

std::optional<Size> size(std::string_view png) {
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (png.size() < 24 || png.substr(0, 8) != std::string_view(signature, 8) || png.substr(12, 4) != "IHDR") {
        return std::nullopt;
    }
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16) |
               (uint32_t(uint8_t(png[at + 2])) << 8) | uint32_t(uint8_t(png[at + 3]));
    };
    return Size{static_cast<int>(be32(16)), static_cast<int>(be32(20))};
}

std::optional<Image> decode(std::string_view png) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::nullopt;
    image.format = PNG_FORMAT_RGBA;
    Image out;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return out;
}

}  // namespace tovo::PNG
