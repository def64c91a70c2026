#pragma once

#include "image/PixelView.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tovo {

// Encodes BGRX pictures as baseline JPEG (4:2:0). One encoder per thread; it keeps its
// compressor between pictures.
class JPEGEncoder {
public:
    JPEGEncoder();
    ~JPEGEncoder();
    JPEGEncoder(const JPEGEncoder&) = delete;
    JPEGEncoder& operator=(const JPEGEncoder&) = delete;

    // The JPEG file, or no value when the encoder fails. `quality` is 1…100.
    std::optional<std::string> encode(const PixelView& picture, int quality);

private:
    void* handle = nullptr;
    // The output buffer, kept between pictures: a fresh one per picture costs the kernel
    // page faults for megabytes each time.
    unsigned char* output = nullptr;
    unsigned long capacity = 0;
};

}  // namespace tovo
