#pragma once

#include "api/Api.h"
#include "capture/FrameFilter.h"
#include "capture/FrameStream.h"
#include "capture/StillCapture.h"
#include "http/Connection.h"
#include "http/MultipartWriter.h"
#include "video/VideoCodec.h"

#include <memory>
#include <optional>
#include <string>

namespace tovo {

// What a GET /stream asked for, checked and resolved against this desktop.
struct VideoStreamRequest {
    CaptureParams params;               // maxWidth is the chosen stream width
    std::optional<FrameFilter> filter;  // apps kept out of the pictures
    VideoCodec codec = VideoCodec::h264;
    int fps = 2;
    std::optional<std::string> streamID;  // flow control exists only with one
    bool cursorClient = false;            // the client draws the pointer itself
    std::optional<int> maxKbps;
    bool status = false;  // screen-state sections between pictures
};

class StatusFeed;
class SessionOutput;

// One video stream on its connection: the frame stream it encodes, the tracker of the
// client-drawn cursor, the screen-state feed and the writer of its sections. Data runs one
// way: request → session → encoder (the stream loop) → writer. What wakes the loop (an ack,
// a pointer move, the server ending the stream) wakes the session's frame stream.
//
// Threads: built and run on the connection's thread; the wake-ups come from any thread.
class VideoStreamSession {
public:
    VideoStreamSession(const ApiDependencies& deps, VideoStreamRequest request, Connection& connection,
                       StreamWire wire);
    // Ends the frame stream and unhooks the connection.
    ~VideoStreamSession();
    VideoStreamSession(const VideoStreamSession&) = delete;
    VideoStreamSession& operator=(const VideoStreamSession&) = delete;

    // Serves the stream until it ends. Throws HTTPError 503 (before the response head) when
    // the display gives no picture at all.
    void run();

private:
    // Starts capturing and waits a little for the first picture.
    void open();
    // The response head, and the first status section when asked for; false when the
    // stream is over already.
    bool writeHead();
    // The client draws the pointer: a tracker follows it on this display while the stream runs.
    void followPointer();
    void unfollowPointer();

    const ApiDependencies& deps;
    const VideoStreamRequest request;
    Connection& connection;
    const std::string display;
    MultipartWriter writer;
    FrameStream frames;
    std::unique_ptr<StatusFeed> status;
    std::shared_ptr<DisplayPointerTracker> pointer;
};

}  // namespace tovo
