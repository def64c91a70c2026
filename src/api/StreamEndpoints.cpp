// GET /stream and POST /stream/ack: the live video stream of a display as a multipart
// response, with screen-state sections, and the client's acknowledgements.
#include "api/Endpoints.h"

#include "api/Query.h"
#include "base/Log.h"
#include "capture/FrameStream.h"
#include "http/HTTPError.h"
#include "http/StreamWire.h"
#include "video/StreamRequest.h"
#include "video/VideoStreamLoop.h"

#include <cmath>

namespace tovo::Endpoints {
namespace {

constexpr double firstPictureWithin = 1.5;

// The stream options of a GET /stream query, checked in the order `stream`, `ack`,
// `cursor`, `maxKbps`.
struct StreamOptions {
    std::vector<std::string> codecs;  // accepted codec names, in the client's order
    std::optional<std::string> streamID;
    bool ack = false;
    bool cursorClient = false;  // the client draws the pointer itself
    std::optional<int> maxKbps;
    bool status = false;
};

StreamOptions parseOptions(const HTTPRequest& request) {
    StreamOptions options;
    options.codecs = StreamCodecs::parse(Query::value(request, "codecs"));
    if (auto id = Query::value(request, "stream"); id && !id->empty()) {
        if (!StreamFlowRegistry::isValidID(*id)) throw HTTPError(400, "stream must be 8–64 characters of A-Z a-z 0-9 _ -");
        options.streamID = *id;
    }
    if (auto ack = Query::value(request, "ack"); ack && !ack->empty() && *ack != "0") {
        if (*ack != "1") throw HTTPError(400, "ack must be 1");
        options.ack = true;
    }
    if (auto cursor = Query::value(request, "cursor"); cursor && !cursor->empty()) {
        if (*cursor != "client") throw HTTPError(400, "cursor must be client");
        options.cursorClient = true;
    }
    if (auto cap = Query::value(request, "maxKbps"); cap && !cap->empty()) {
        auto value = parseDecimalInteger(*cap);
        if (!value || *value < 100 || *value > 100000) throw HTTPError(400, "maxKbps must be an integer 100…100000");
        options.maxKbps = static_cast<int>(*value);
    }
    auto status = Query::value(request, "status");
    if (status && !status->empty() && *status != "0" && *status != "false") {
        if (*status != "1" && *status != "true") throw HTTPError(400, "status must be 1");
        options.status = true;
    }
    return options;
}

// What a stream captures and how.
struct StreamSetup {
    CaptureParams params;  // maxWidth is the chosen stream width
    std::optional<FrameFilter> filter;  // apps kept out of the pictures
    StreamOptions options;
    VideoCodec codec = VideoCodec::h264;
    int fps = 2;
};

StreamSetup setup(const Deps& deps, const HTTPRequest& request) {
    StreamSetup setup;
    setup.params = Query::captureParams(request, deps.desktop.displays);
    // Streams keep apps out as stills do; a crop would change the stream's size and is not
    // taken here.
    setup.filter = FrameFilter::parse(Query::value(request, "visible"), Query::value(request, "hide"), std::nullopt);
    setup.options = parseOptions(request);
    setup.fps = Query::clamped(request, "fps", 2, 1, deps.video.streams.tuning.maxFPS);
    auto codec = StreamCodecs::choose(setup.options.codecs, deps.video.streams.codecs,
                                      [&](VideoCodec c) { return deps.video.encoders.isAvailable(c); });
    if (!codec) throw HTTPError(503, "this computer can't encode h264 or hevc video (no usable encoder)");
    setup.codec = *codec;

    DisplayInfo display = deps.desktop.displays.require(setup.params.display);
    StreamWidthInputs in;
    in.requested = setup.params.maxWidth;
    in.pixelWidth = deps.desktop.displays.targetSize(setup.params.display, 100000).first;
    in.pointsWidth = display.width;
    in.pointsHeight = display.height;
    in.serverMaxValue = deps.video.streams.maxWidthValue;
    in.serverMax = deps.video.streams.maxWidth;
    in.prefersAbove1080p = deps.video.encoders.prefersAbove1080p(setup.codec);
    setup.params.maxWidth = streamWidth(in);
    return setup;
}

std::string setupLine(const StreamSetup& setup) {
    std::string line = std::string(toString(setup.codec)) + " @" + std::to_string(setup.fps) + " fps";
    if (setup.options.streamID) line += " stream " + *setup.options.streamID;
    if (setup.options.cursorClient) line += ", cursor client";
    if (setup.options.maxKbps) line += ", maxKbps " + std::to_string(*setup.options.maxKbps);
    return line;
}

// Counts the stream for the pointer-hold watchdog while it is open.
struct OpenStreamCount {
    explicit OpenStreamCount(PointerHolds& holds) : holds(holds) { holds.streamOpened(); }
    ~OpenStreamCount() { holds.streamClosed(); }
    PointerHolds& holds;
};

std::string statusPart(const ScreenDisplayState& state, const std::optional<ConsoleState>& console, uint64_t seq,
                       const StreamWire& wire) {
    nlohmann::json body = state.json();
    body["console"] = console ? nlohmann::json{{"locked", console->locked}} : nlohmann::json();
    std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return streamPart(wire.status, text, std::nullopt, seq, std::nullopt, "status", std::nullopt, wire.boundary);
}

// Sends the screen state of one display down a stream when it changes. Runs on the
// stream's connection thread only.
class StatusFeed {
public:
    StatusFeed(ScreenStateTracker& tracker, uint32_t display) : tracker(tracker), display(display) {}

    // False when the stream must end (a write failed, or the display is unavailable).
    bool pump(Connection& connection) {
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
            if (!connection.transport->send(statusPart(state, snapshot.console, ++connection.partSeq, connection.wire))) {
                return false;
            }
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

// The stream's connection as the loop's output: video sections in the negotiated dialect.
class ConnectionOutput final : public StreamOutput {
public:
    explicit ConnectionOutput(Connection& connection) : connection(connection) {}
    bool ended() override { return connection.peerClosed(); }
    std::optional<uint64_t> sendPicture(const VideoAccessUnit& unit, VideoCodec codec, double capturedAt,
                                        const std::string& kind) override {
        uint64_t seq = ++connection.partSeq;
        std::string part = streamPart(contentType(codec), unit.data, std::make_pair(unit.width, unit.height), seq,
                                      capturedAt, kind, std::string(toString(codec)), connection.wire.boundary);
        if (!connection.transport->send(part)) return std::nullopt;
        return seq;
    }
    bool sendCursor(const std::string& body) override {
        double now = std::floor(wallSeconds() * 1000);
        return connection.transport->send(streamPart(connection.wire.cursor, body, std::nullopt, ++connection.partSeq, now,
                                                     "cursor", std::nullopt, connection.wire.boundary));
    }

private:
    Connection& connection;
};

}  // namespace

void stream(const Deps& deps, HTTPRequest& request, Connection& connection) {
    StreamSetup setup = Endpoints::setup(deps, request);
    OpenStreamCount counted(deps.control.holds);
    std::optional<std::string> accept;
    if (auto it = request.headers.find("accept"); it != request.headers.end()) accept = it->second;
    connection.wire = StreamWire::negotiate(accept, "application/vnd.tovo-control.stream");
    if (!deps.desktop.session.canCaptureScreen()) throw HTTPError(403, noCaptureText);

    const std::string display = std::to_string(setup.params.display);
    FrameStream frames(setup.params, setup.fps, !setup.options.cursorClient, deps.desktop.displays, deps.capture.makeCapturer,
                       deps.capture.captureLatency);
    if (setup.filter) frames.filterApps(filterPlanner(deps, setup.params.display, *setup.filter));
    struct Stopper {
        FrameStream& frames;
        Connection& connection;
        ~Stopper() {
            connection.onEndedByServer(nullptr);
            frames.stop();
        }
    } stopper{frames, connection};
    frames.start();
    connection.onEndedByServer([&frames] { frames.wake(); });
    switch (frames.first(firstPictureWithin)) {
    case FrameStream::FirstOutcome::picture:
        break;
    case FrameStream::FirstOutcome::noPicture:
        log("display " + display + ": no picture from the X server in 1500 ms; waiting on");
        break;
    case FrameStream::FirstOutcome::stopped:
        throw HTTPError(503, "display " + display + ": no picture from the X server in 1500 ms");
    }
    log("display " + display + ": stream open (" + setupLine(setup) + ")");

    Connection::Headers headers{{"Content-Type", connection.wire.stream},
                                {"Cache-Control", "no-store"},
                                {"X-Display", display},
                                {"X-Stream-Codec", toString(setup.codec)}};
    if (setup.options.streamID) headers.emplace_back("X-Stream-Id", *setup.options.streamID);
    if (!connection.writeHead(200, headers, false)) return;

    if (setup.options.status) {
        auto feed = std::make_shared<StatusFeed>(deps.desktop.tracker, setup.params.display);
        connection.betweenParts = [feed](Connection& c) { return feed->pump(c); };
        deps.desktop.tracker.setNeedsRefresh();
        if (!feed->pump(connection)) return;
    }

    VideoStreamOptions options;
    options.codec = setup.codec;
    options.streamID = setup.options.streamID;
    options.label = videoStreamLabel(options.streamID);
    options.interval = 1.0 / setup.fps;
    options.tuning = deps.video.streams.tuning.withClientCap(setup.options.maxKbps);
    options.makeSession = deps.video.encoders.makeSession;

    // The client draws the pointer: a tracker follows it for this display while the stream runs.
    std::shared_ptr<DisplayPointerTracker> pointer;
    if (setup.options.cursorClient && deps.cursor.makeTracker) {
        pointer = deps.cursor.makeTracker(setup.params.display);
        pointer->setOnChange([&frames] { frames.wake(); });
        pointer->start();
        deps.cursor.trackers->add(pointer);
        options.cursor = pointer.get();
    }
    ConnectionOutput output(connection);
    videoStreamLoop(frames, output, deps.video.flows, options);
    connection.betweenParts = nullptr;
    if (pointer) {
        pointer->stop();
        deps.cursor.trackers->remove(pointer.get());
        pointer->setOnChange(nullptr);
        size_t shapes = pointer->systemShapes();
        log("display " + display + ": stream" + (setup.options.streamID ? " " + *setup.options.streamID : std::string()) +
            ": pointer: " + (shapes ? std::to_string(shapes) + " system cursor shape(s)" : std::string("built-in")));
    }
}

void streamAck(const Deps& deps, HTTPRequest& request, Connection& connection) {
    nlohmann::json body = Query::jsonBody(request);
    auto id = body.find("stream");
    if (id == body.end() || !id->is_string() || !StreamFlowRegistry::isValidID(id->get<std::string>())) {
        throw HTTPError(400, "stream must be a stream id");
    }
    auto seqValue = body.find("seq");
    double seq = seqValue != body.end() && seqValue->is_number() ? seqValue->get<double>() : -1;
    if (!(seq >= 0 && seq < 9e15 && std::floor(seq) == seq)) throw HTTPError(400, "seq must be a non-negative integer");
    bool keyframe = false;
    if (auto key = body.find("keyframe"); key != body.end() && !key->is_null()) {
        if (!key->is_boolean()) throw HTTPError(400, "keyframe must be a boolean");
        keyframe = key->get<bool>();
    }
    std::optional<StreamPlayoutReport> report;
    if (auto it = body.find("report"); it != body.end()) report = StreamPlayoutReport::parse(*it);

    std::string name = id->get<std::string>();
    auto flow = deps.video.flows.lookup(name);
    if (!flow) throw HTTPError(404, "no open stream " + name);
    flow->ack(static_cast<uint64_t>(seq), keyframe);
    if (report) flow->received(*report);
    connection.json(200, {{"ok", true}, {"net", flow->netQuality().json()}});
}

}  // namespace tovo::Endpoints
