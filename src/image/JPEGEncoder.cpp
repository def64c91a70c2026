#include "image/JPEGEncoder.h"

#include <turbojpeg.h>

namespace tovo {

JPEGEncoder::JPEGEncoder() : handle(tjInitCompress()) {}

JPEGEncoder::~JPEGEncoder() {
    if (output) tjFree(output);
    if (handle) tjDestroy(handle);
}

std::optional<std::string> JPEGEncoder::encode(const PixelView& picture, int quality) {
    if (!handle || !picture.data || picture.width <= 0 || picture.height <= 0) return std::nullopt;
    const unsigned long needed = tjBufSize(picture.width, picture.height, TJSAMP_420);
    if (capacity < needed) {
        if (output) tjFree(output);
        output = tjAlloc(static_cast<int>(needed));
        capacity = output ? needed : 0;
        if (!output) return std::nullopt;
    }
    unsigned long size = capacity;
    // The buffer holds the largest JPEG these dimensions can give, so it never has to grow.
    int result = tjCompress2(handle, picture.data, picture.width, picture.stride, picture.height, TJPF_BGRX, &output,
                             &size, TJSAMP_420, quality, TJFLAG_FASTDCT | TJFLAG_NOREALLOC);
    std::optional<std::string> jpeg;
    if (result == 0) jpeg.emplace(reinterpret_cast<const char*>(output), size);
    return jpeg;
}

}  // namespace tovo
