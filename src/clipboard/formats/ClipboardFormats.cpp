#include "clipboard/formats/ClipboardFormats.h"

#include "base/Text.h"
#include "base/Utf8.h"
#include "image/PNG.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <turbojpeg.h>

#include <cstdint>

namespace tovo {
namespace {

// A JPEG as PNG, through TurboJPEG.
std::optional<std::string> jpegToPNG(const std::string& jpeg) {
    tjhandle handle = tjInitDecompress();
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    std::optional<std::string> out;
    if (tjDecompressHeader3(handle, bytes, jpeg.size(), &width, &height, &subsampling, &colorspace) == 0) {
        std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
        if (tjDecompress2(handle, bytes, jpeg.size(), rgba.data(), width, 0, height, TJPF_RGBA, 0) == 0) {
            out = PNG::encodeRGBA(rgba.data(), width, height);
        }
    }
    tjDestroy(handle);
    return out;
}

// Any other image type gdk-pixbuf reads (BMP, GIF, TIFF, ICO, WebP where its loader is
// installed, …) as PNG.
std::optional<std::string> imageToPNG(const std::string& data) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    std::optional<std::string> out;
    bool fed = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(data.data()), data.size(), nullptr);
    bool closed = gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* picture = fed && closed ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (picture && gdk_pixbuf_get_bits_per_sample(picture) == 8) {
        const int width = gdk_pixbuf_get_width(picture), height = gdk_pixbuf_get_height(picture);
        const int channels = gdk_pixbuf_get_n_channels(picture), stride = gdk_pixbuf_get_rowstride(picture);
        const bool alpha = gdk_pixbuf_get_has_alpha(picture);
        const guchar* pixels = gdk_pixbuf_read_pixels(picture);
        std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const guchar* from = pixels + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * channels;
                uint8_t* to = &rgba[(static_cast<size_t>(y) * width + x) * 4];
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
                to[3] = alpha ? from[3] : 255;
            }
        }
        out = PNG::encodeRGBA(rgba.data(), width, height);
    }
    g_object_unref(loader);
    return out;
}

}  // namespace

// Absolute paths of the file:// URIs in a text/uri-list or x-special/gnome-copied-files body.
std::vector<std::string> filePathsOf(const std::string& list) {
    std::vector<std::string> paths;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find('\n', start);
        std::string line = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("file://", 0) == 0) {
            std::string rest = line.substr(7);
            size_t slash = rest.find('/');  // skip a host name
            if (slash != std::string::npos) {
                std::string raw = rest.substr(slash);
                paths.push_back(percentDecode(raw).value_or(raw));
            }
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return paths;
}

std::string uriListOf(const std::vector<std::string>& paths) {
    std::string uris;
    for (const auto& path : paths) uris += "file://" + percentEncode(path, "/-._~") + "\r\n";
    return uris;
}

std::string gnomeCopiedFilesOf(const std::vector<std::string>& paths) {
    std::string gnome = "copy";
    for (const auto& path : paths) gnome += "\nfile://" + percentEncode(path, "/-._~");
    return gnome;
}

ClipboardContent textContent(const std::string& text) {
    ClipboardContent content;
    auto shared = std::make_shared<const std::string>(text);
    for (const char* type : {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "TEXT"}) content[type] = shared;
    content["STRING"] = std::make_shared<const std::string>(latin1FromUtf8(text));
    return content;
}

ClipboardContent filesContent(const std::vector<std::string>& paths, const std::optional<std::string>& imageType,
                              const std::string& imageData) {
    ClipboardContent content{
        {"text/uri-list", std::make_shared<const std::string>(uriListOf(paths))},
        {"x-special/gnome-copied-files", std::make_shared<const std::string>(gnomeCopiedFilesOf(paths))}};
    if (imageType) content[*imageType] = std::make_shared<const std::string>(imageData);
    return content;
}

std::vector<std::string> imageTypesByPreference(const std::vector<std::string>& types) {
    std::vector<std::string> out;
    for (const char* first : {"image/png", "image/jpeg", "image/jpg"})
        for (const auto& type : types)
            if (type == first) out.push_back(type);
    for (const auto& type : types)
        if (type.rfind("image/", 0) == 0 && type != "image/png" && type != "image/jpeg" && type != "image/jpg")
            out.push_back(type);
    return out;
}

std::optional<std::string> imageAsPNG(const std::string& type, const std::string& data) {
    if (type == "image/png") return PNG::size(data) ? std::optional<std::string>(data) : std::nullopt;
    if (type == "image/jpeg" || type == "image/jpg") return jpegToPNG(data);
    return imageToPNG(data);
}

}  // namespace tovo
