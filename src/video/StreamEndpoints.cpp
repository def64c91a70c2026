#include "video/StreamEndpoints.h"

#include "capture/FrameStream.h"
#include "http/HTTPError.h"
#include "input/PointerHold.h"
#include "service/Router.h"
#include "service/ScreenHost.h"
#include "service/ScreenState.h"
#include "video/StreamFlow.h"
#include "video/StreamRequest.h"
#include "video/VideoStreamLoop.h"

#include <cmath>

namespace tovo {
namespace {

constexpr double firstPictureWithin = 1.5;

// Counts the stream for the pointer-hold watchdog for as long as the handler runs.
struct OpenStreamCount {
    OpenStreamCount() { PointerHolds::shared().streamOpened(); }
    ~OpenStreamCount() { PointerHolds::shared().streamClosed(); }
};

std::string setupLine(const CaptureSetup& setup) {
    std::string line = std::string(toString(setup.codec)) + " @" + std::to_string(setup.fps) + " fps";
    if (setup.options.streamID) line += " stream " + *setup.options.streamID;
    if (setup.options.cursorClient) line += ", cursor client";
    if (setup.options.maxKbps) line += ", maxKbps " + std::to_string(*setup.options.maxKbps);
    return line;
}

}  // namespace

void stream(HTTPRequest& request, Connection& connection) {
    OpenStreamCount counted;
    CaptureSetup setup = captureSetup(request);
    bool withStatus = statusRequested(request);
    std::optional<std::string> accept;
    if (auto it = request.headers.find("accept"); it != request.headers.end()) accept = it->second;
    connection.wire = StreamWire::negotiate(accept, "application/vnd.tovo-control.stream");

    const std::string display = std::to_string(setup.params.display);
    FrameStream frames(setup.params, setup.fps, !setup.options.cursorClient);
    struct Stopper {
        FrameStream& frames;
        ~Stopper() { frames.stop(); }
    } stopper{frames};
    frames.start();
    switch (frames.first(firstPictureWithin)) {
    case FrameStream::FirstOutcome::picture:
        break;
    case FrameStream::FirstOutcome::noPicture:
        ScreenHost::logSink("display " + display + ": no ScreenCaptureKit frame in 1500 ms; keeping ScreenCaptureKit");
        break;
    case FrameStream::FirstOutcome::stopped:
        throw HTTPError(503, "display " + display + ": no ScreenCaptureKit frame in 1500 ms");
    }
    ScreenHost::logSink("display " + display + ": stream open (" + setupLine(setup) + ")");

    Connection::Headers headers{{"Content-Type", connection.wire.stream},
                                {"Cache-Control", "no-store"},
                                {"X-Display", display},
                                {"X-Stream-Codec", toString(setup.codec)}};
    if (setup.options.streamID) headers.emplace_back("X-Stream-Id", *setup.options.streamID);
    if (!connection.writeHead(200, headers, false)) return;

    std::shared_ptr<StreamStatusFeed> feed;
    if (withStatus) {
        if (auto tracker = ScreenStateTracker::current()) {
            feed = std::make_shared<StreamStatusFeed>(tracker, setup.params.display);
            connection.betweenParts = [feed](Connection& c) { return feed->pump(c); };
            tracker->setNeedsRefresh();
            if (!feed->pump(connection)) return;
        }
    }

    VideoStreamOptions options;
    options.codec = setup.codec;
    options.streamID = setup.options.streamID;
    options.label = videoStreamLabel(options.streamID);
    options.interval = 1.0 / setup.fps;
    options.tuning = StreamTuning::current().withClientCap(setup.options.maxKbps);
    videoStreamLoop(frames, connection, options);
    connection.betweenParts = nullptr;
}

void streamAck(HTTPRequest& request, Connection& connection) {
    nlohmann::json body = Router::jsonBody(request);
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
    auto flow = StreamFlowRegistry::shared().lookup(name);
    if (!flow) throw HTTPError(404, "no open stream " + name);
    flow->ack(static_cast<uint64_t>(seq), keyframe);
    if (report) flow->received(*report);
    connection.json(200, {{"ok", true}, {"net", flow->netQuality().json()}});
}

}  // namespace tovo
