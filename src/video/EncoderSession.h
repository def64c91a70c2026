#pragma once

#include "capture/VideoPictureSource.h"
#include "video/VideoCodec.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tovo {

// How a session spends its bits.
struct RateControl {
    enum class Mode {
        // A constant quality, with the bit rate as the ceiling of every one-second window:
        // areas that do not change cost nothing, and full motion gets the bit rate.
        quality,
        // The bit rate as an average, no one-second window above 1.5 × it: a still screen is
        // refined until the budget is spent.
        average,
    };
    Mode mode = Mode::quality;
    double quality = 23;  // x264's rate factor: lower is better

    // TOVO_VIDEO_RATE through `get`: "average", or "quality" optionally with a rate factor
    // ("quality:18"); anything else, or nothing, is the default.
    static RateControl fromEnvironment(const std::function<const char*(const char*)>& get);
};

struct EncoderSessionConfig {
    VideoCodec codec = VideoCodec::h264;
    int width = 0;
    int height = 0;
    int bitrate = 0;  // bits per second
    int frameRate = 30;
    RateControl rate;
};

// What a session gave back for the last picture submitted.
struct EncoderOutput {
    enum class Status { unit, dropped, failed, pending };
    Status status = Status::pending;
    std::string data;  // Annex B, as the encoder wrote it
    bool isKey = false;
    std::string detail;  // why it failed
};

// One running encoder of a fixed picture size: low latency, no reordering, key frames only
// on request. Used from one thread at a time; destroying it releases the encoder.
class EncoderSession {
public:
    virtual ~EncoderSession() = default;

    virtual std::string encoderID() const = 0;
    // Unknown when the backend cannot tell.
    virtual std::optional<bool> isHardware() const = 0;
    // The parameter sets in Annex B, for key units that come without them.
    virtual std::string parameterSets() const = 0;

    // Applies a new average bit rate (and its VBV limits) to the running encoder, without a
    // key frame; false when this encoder cannot change it while running.
    virtual bool setBitrate(int bps) = 0;
    // Hands one picture (BGRX or YUV 4:2:0) of the session's size to the encoder. 0, or the backend's
    // error code.
    virtual int submit(const VideoPicture& picture, int64_t ptsMicros, bool forceKey) = 0;
    // The output for the pictures submitted so far, if there is one yet.
    virtual EncoderOutput receive() = 0;
    // Makes the encoder give out what it holds; pending when nothing came out. The session
    // takes no further pictures.
    virtual EncoderOutput flush() = 0;
};

// Makes a session, or returns null and says why in `error` (the backend's status).
using EncoderSessionFactory =
    std::function<std::unique_ptr<EncoderSession>(const EncoderSessionConfig&, std::string& error)>;

}  // namespace tovo
