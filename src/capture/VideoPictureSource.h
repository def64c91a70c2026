#pragma once

#include "capture/CaptureActivity.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace tovo {

enum class PictureFormat {
    bgrx,    // 4 bytes a pixel, rows `stride` bytes apart
    yuv420,  // BT.709 studio range: Y (rows `stride` bytes apart), then U, then V (each
             // stride/2 bytes a row, (height + 1)/2 rows); `stride` is even
};

// One kept picture of a live source, shared read-only with whoever holds it (the producer
// never writes a buffer that is still held).
struct VideoPicture {
    std::shared_ptr<const std::vector<uint8_t>> pixels;
    int width = 0;
    int height = 0;
    int stride = 0;
    double at = 0;     // wall-clock capture time, ms since 1970
    uint64_t seq = 0;  // count of pictures kept up to this one
    PictureFormat format = PictureFormat::bgrx;

    // For yuv420: where the chroma planes start in `pixels`.
    size_t uOffset() const { return static_cast<size_t>(stride) * height; }
    size_t vOffset() const { return uOffset() + static_cast<size_t>(stride / 2) * ((height + 1) / 2); }
    static size_t yuv420Bytes(int stride, int height) {
        return static_cast<size_t>(stride) * height + 2 * static_cast<size_t>(stride / 2) * ((height + 1) / 2);
    }
};

// Where a video stream takes its pictures from. Thread-safe.
class VideoPictureSource {
public:
    virtual ~VideoPictureSource() = default;

    // Waits until a picture newer than `changes` was kept, the source stopped, wake() was
    // called (since the last wait returned), or `deadline` passed; true when there is a
    // newer picture.
    virtual bool waitForPicture(uint64_t changes, std::chrono::steady_clock::time_point deadline) = 0;
    // The newest picture, if any.
    virtual std::optional<VideoPicture> latest() = 0;
    // How many pictures were kept so far.
    virtual uint64_t changes() = 0;
    virtual bool isStopped() = 0;
    // Ends the current (or the next) waitForPicture early.
    virtual void wake() = 0;
    // The capture activity since the last call, and starts a new window.
    virtual CaptureActivityWindow takeActivityWindow() = 0;
    // The consumer started encoding the latest picture at `at` (the moment it was allowed to,
    // when it had the picture before), and takes the next one an interval later at the
    // earliest. A source may time its captures to be ready just before then.
    virtual void encodeStarted(std::chrono::steady_clock::time_point /*at*/) {}
};

}  // namespace tovo
