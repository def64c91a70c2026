#include "capture/JPEGEncoder.h"

#include <turbojpeg.h>

namespace tovo {

JPEGEncoder::JPEGEncoder() : handle(tjInitCompress()) {}

JPEGEncoder::~JPEGEncoder() {
    if (handle) tjDestroy(handle);
}

std::optional<std::string> JPEGEncoder::encode(const PixelView& picture, int quality) {
    if (!handle || !picture.data || picture.width <= 0 || picture.height <= 0) return std::nullopt;
    unsigned char* output = nullptr;
    unsigned long size = 0;
    int result = tjCompress2(handle, picture.data, picture.width, picture.stride, picture.height, TJPF_BGRX, &output,
                             &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
    std::optional<std::string> jpeg;
    if (result == 0 && output) jpeg.emplace(reinterpret_cast<const char*>(output), size);
    if (output) tjFree(output);
    return jpeg;
}

}  // namespace tovo
