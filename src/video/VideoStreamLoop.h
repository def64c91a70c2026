#pragma once

#include "base/Clock.h"
#include "capture/VideoPictureSource.h"
#include "cursor/ClientCursor.h"
#include "video/AccessUnit.h"
#include "video/EncoderSession.h"
#include "video/StreamFlow.h"
#include "video/StreamScheduler.h"
#include "video/StreamTuning.h"
#include "video/VideoCodec.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>

namespace tovo {

// Where a video stream's sections go: the stream's connection.
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    // True when the stream must end: the peer went away, the server ended it, or what runs
    // between sections (status parts) says stop.
    virtual bool ended() = 0;
    // Sends one picture as the next section; its section number, or none when the write failed.
    virtual std::optional<uint64_t> sendPicture(const VideoAccessUnit& unit, VideoCodec codec, double capturedAt,
                                                const std::string& kind) = 0;
    // Sends one cursor part with `body`; false when the write failed.
    virtual bool sendCursor(const std::string& body) = 0;
};

struct VideoStreamOptions {
    VideoCodec codec = VideoCodec::h264;
    std::string label;                    // log prefix
    std::optional<std::string> streamID;  // flow control exists only with one
    double interval = 0.5;                // seconds between live pictures
    StreamTuning tuning;
    std::optional<double> statsInterval = 10.0;
    std::function<void(const nlohmann::json&)> onStats;
    EncoderSessionFactory makeSession;
    MonotonicClock clock = monotonicSeconds;
    // The client draws the cursor: its parts come from here (pictures carry no pointer).
    CursorFeed* cursor = nullptr;
};

// "video: display stream" and the stream id, when there is one.
std::string videoStreamLabel(const std::optional<std::string>& streamID);

// Serves a video stream's sections after its response head, on the connection's thread,
// until the scheduler ends it: the output ended, the source stopped, or the encoder failed
// too often in a row. With a stream id the stream's flow is registered in `flows` for its
// life, and every picture asks it for room first.
void videoStreamLoop(VideoPictureSource& source, StreamOutput& output, StreamFlowRegistry& flows,
                     const VideoStreamOptions& options);

}  // namespace tovo
