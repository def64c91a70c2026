#include "api/VideoStreamSession.h"

#include "api/Endpoints.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "http/HTTPError.h"
#include "video/VideoStreamLoop.h"

#include <cmath>

namespace tovo {

namespace {

constexpr double firstPictureWithin = 1.5;

std::string setupLine(const VideoStreamRequest& request) {
    std::string line = std::string(toString(request.codec)) + " @" + std::to_string(request.fps) + " fps";
    if (request.streamID) line += " stream " + *request.streamID;
    if (request.cursorClient) line += ", cursor client";
    if (request.maxKbps) line += ", maxKbps " + std::to_string(*request.maxKbps);
    return line;
}

}  // namespace

// Sends the screen state of one display down the stream when it changes.
class StatusFeed {
public:
    StatusFeed(ScreenStateTracker& tracker, uint32_t display) : tracker(tracker), display(display) {}

    // False when the stream must end (a write failed, or the display is unavailable).
    bool pump(MultipartWriter& writer) {
        auto snapshot = tracker.snapshot();
        if (seen && *seen == snapshot.version) return true;
        seen = snapshot.version;
        ScreenDisplayState state = tracker.capture();
        state.display = display;
        for (const auto& s : snapshot.states) {
            if (s.display == display) state = s;
        }
        if (!sent || *sent != state) {
            sent = state;
            nlohmann::json body = state.json();
            body["console"] =
                snapshot.console ? nlohmann::json{{"locked", snapshot.console->locked}} : nlohmann::json();
            std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            if (!writer.write(writer.wire().status, text, std::nullopt, std::nullopt, "status")) return false;
        }
        if (state.phase == ScreenPhase::unavailable) {
            log("stream of display " + std::to_string(display) + ": " +
                (state.reason ? toString(*state.reason) : "unavailable") + "; ending it (status part sent)");
            return false;
        }
        return true;
    }

private:
    ScreenStateTracker& tracker;
    const uint32_t display;
    std::optional<ScreenDisplayState> sent;
    std::optional<uint64_t> seen;
};

// The stream loop's output: video and cursor sections through the writer, the status feed
// between them.
class SessionOutput final : public StreamOutput {
public:
    SessionOutput(Connection& connection, MultipartWriter& writer, StatusFeed* status)
        : connection(connection), writer(writer), status(status) {}

    bool ended() override {
        if (connection.isEndedByServer()) return true;
        if (status && !status->pump(writer)) return true;
        return connection.peerClosed();
    }
    std::optional<uint64_t> sendPicture(const VideoAccessUnit& unit, VideoCodec codec, double capturedAt,
                                        const std::string& kind) override {
        return writer.write(contentType(codec), unit.data, std::make_pair(unit.width, unit.height), capturedAt, kind,
                            std::string(toString(codec)));
    }
    bool sendCursor(const std::string& body) override {
        return writer.write(writer.wire().cursor, body, std::nullopt, std::floor(wallSeconds() * 1000), "cursor")
            .has_value();
    }

private:
    Connection& connection;
    MultipartWriter& writer;
    StatusFeed* const status;
};

VideoStreamSession::VideoStreamSession(const ApiDependencies& deps, VideoStreamRequest given, Connection& connection,
                                       StreamWire wire)
    : deps(deps),
      request(std::move(given)),
      connection(connection),
      display(std::to_string(request.params.display)),
      writer(*connection.transport, std::move(wire)),
      frames(request.params, request.fps, !request.cursorClient, deps.desktop.displays, deps.capture.makeCapturer,
             deps.capture.captureLatency) {
    deps.control.holds.streamOpened();
    if (request.filter) {
        frames.filterApps(Endpoints::filterPlanner(deps, request.params.display, *request.filter));
    }
}

VideoStreamSession::~VideoStreamSession() {
    unfollowPointer();
    connection.onEndedByServer(nullptr);
    frames.stop();
    deps.control.holds.streamClosed();
}

void VideoStreamSession::open() {
    frames.start();
    connection.onEndedByServer([this] { frames.wake(); });
    switch (frames.first(firstPictureWithin)) {
    case FrameStream::FirstOutcome::picture: break;
    case FrameStream::FirstOutcome::noPicture:
        log("display " + display + ": no picture from the X server in 1500 ms; waiting on");
        break;
    case FrameStream::FirstOutcome::stopped:
        throw HTTPError(503, "display " + display + ": no picture from the X server in 1500 ms");
    }
    log("display " + display + ": stream open (" + setupLine(request) + ")");
}

bool VideoStreamSession::writeHead() {
    Connection::Headers headers{{"Content-Type", writer.wire().stream},
                                {"Cache-Control", "no-store"},
                                {"X-Display", display},
                                {"X-Stream-Codec", toString(request.codec)}};
    if (request.streamID) headers.emplace_back("X-Stream-Id", *request.streamID);
    if (!connection.writeHead(200, headers, false)) return false;
    if (!request.status) return true;
    status = std::make_unique<StatusFeed>(deps.desktop.tracker, request.params.display);
    deps.desktop.tracker.setNeedsRefresh();
    return status->pump(writer);
}

void VideoStreamSession::followPointer() {
    if (!request.cursorClient || !deps.cursor.makeTracker) return;
    pointer = deps.cursor.makeTracker(request.params.display);
    pointer->setOnChange([this] { frames.wake(); });
    pointer->start();
    deps.cursor.trackers->add(pointer);
}

void VideoStreamSession::unfollowPointer() {
    if (!pointer) return;
    pointer->stop();
    deps.cursor.trackers->remove(pointer.get());
    pointer->setOnChange(nullptr);
    size_t shapes = pointer->systemShapes();
    log("display " + display + ": stream" + (request.streamID ? " " + *request.streamID : std::string()) +
        ": pointer: " + (shapes ? std::to_string(shapes) + " system cursor shape(s)" : std::string("built-in")));
    pointer.reset();
}

void VideoStreamSession::run() {
    open();
    if (!writeHead()) return;

    VideoStreamOptions options;
    options.codec = request.codec;
    options.streamID = request.streamID;
    options.label = videoStreamLabel(options.streamID);
    options.interval = 1.0 / request.fps;
    options.tuning = deps.video.streams.tuning.withClientCap(request.maxKbps);
    options.makeSession = deps.video.encoders.makeSession;
    followPointer();
    options.cursor = pointer.get();
    SessionOutput output(connection, writer, status.get());
    videoStreamLoop(frames, output, deps.video.flows, options);
}

}  // namespace tovo
