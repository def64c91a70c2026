#pragma once

#include "http/Connection.h"
#include "http/HTTPError.h"
#include "http/HTTPRequest.h"

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace tovo {

// What one capture asks for.
struct CaptureParams {
    uint32_t display = 0;  // already resolved
    int maxWidth = 1280;   // widest picture wanted, 160…3840
    int quality = 70;      // JPEG quality, 10…95

    static constexpr int minWidth = 160, maxMaxWidth = 3840, defaultWidth = 1280;
    static constexpr int minQuality = 10, maxQuality = 95, defaultQuality = 70;

    // Reads `display`, `maxWidth` and `quality` from the query (in that order), resolving
    // the display and clamping the numbers. Throws HTTPError.
    static CaptureParams parse(const HTTPRequest& request);
};

// One encoded still picture.
struct JPEGFrame {
    std::string data;
    int width = 0;
    int height = 0;
    uint32_t display = 0;
    std::optional<std::array<double, 4>> crop;  // x, y, w, h normalised, when a crop was applied
    std::optional<std::string> filter;          // "native" or "mask", when a visible set was asked for
};

// Takes one picture of the display (pointer included), sized by the display's target size
// for params.maxWidth, and encodes it. Runs on the caller's thread. Throws HTTPError.
JPEGFrame captureFrameOnce(const CaptureParams& params);

// Takes one picture of a top-level window's own pixels, scaled to width × height, and
// encodes it. Throws CaptureFailure when the window has no picture, HTTPError otherwise.
std::string captureWindowOnce(uint32_t window, int width, int height, int quality);

// The HTTP error a failed capture answers with: 403 when capture is not possible at all,
// else 500 "capture failed: …". An HTTPError passes through unchanged.
HTTPError captureError(const std::exception& error);

// Writes the picture with its headers.
void respondFrame(const JPEGFrame& frame, Connection& connection);

// GET /frame.
void frame(HTTPRequest& request, Connection& connection);

}  // namespace tovo
