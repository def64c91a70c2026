#pragma once

#include "capture/VideoPictureSource.h"
#include "http/Connection.h"
#include "video/EncoderSession.h"
#include "video/StreamTuning.h"
#include "video/VideoCodec.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>

namespace tovo {

struct VideoStreamOptions {
    VideoCodec codec = VideoCodec::h264;
    std::string label;                   // log prefix
    std::optional<std::string> streamID;  // flow control exists only with one
    double interval = 0.5;               // seconds between live pictures
    StreamTuning tuning;
    std::optional<double> statsInterval = 10.0;
    std::function<void(const nlohmann::json&)> onStats;
    EncoderSessionFactory makeSession = libavSessionFactory();
};

// "video: display stream" and the stream id, when there is one.
std::string videoStreamLabel(const std::optional<std::string>& streamID);

// Serves a video stream's sections after its response head, on the connection's thread, until
// the stream is over: the peer hung up, the server or the between-sections hook ended it, the
// source stopped, a write failed, or the encoder failed too often in a row. Each turn sends
// a new picture, a sharper copy of the last one after a pause, a keep-alive, or a key frame
// when one is due, and asks the stream's flow (with a stream id) whether there is room.
void videoStreamLoop(VideoPictureSource& source, Connection& connection, const VideoStreamOptions& options);

}  // namespace tovo
