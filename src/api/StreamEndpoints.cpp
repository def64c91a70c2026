// GET /stream and POST /stream/ack: the live video stream of a display as a multipart
// response, with screen-state sections, and the client's acknowledgements.
#include "api/Endpoints.h"
#include "api/Query.h"
#include "api/VideoStreamSession.h"
#include "base/Log.h"
#include "http/HTTPError.h"
#include "http/StreamWire.h"
#include "video/StreamRequest.h"
#include "video/VideoStreamLoop.h"

#include <cmath>

namespace tovo::Endpoints {
namespace {

// The options of a GET /stream query into `request`, checked in the order `stream`, `ack`,
// `cursor`, `maxKbps`, `status`; the codec names the client accepts, in its order.
std::vector<std::string> parseOptions(const HTTPRequest& request, VideoStreamRequest& out) {
    auto codecs = StreamCodecs::parse(Query::value(request, "codecs"));
    if (auto id = Query::value(request, "stream"); id && !id->empty()) {
        if (!StreamFlowRegistry::isValidID(*id))
            throw HTTPError(400, "stream must be 8–64 characters of A-Z a-z 0-9 _ -");
        out.streamID = *id;
    }
    if (auto ack = Query::value(request, "ack"); ack && !ack->empty() && *ack != "0") {
        if (*ack != "1") throw HTTPError(400, "ack must be 1");
    }
    if (auto cursor = Query::value(request, "cursor"); cursor && !cursor->empty()) {
        if (*cursor != "client") throw HTTPError(400, "cursor must be client");
        out.cursorClient = true;
    }
    if (auto cap = Query::value(request, "maxKbps"); cap && !cap->empty()) {
        auto value = parseDecimalInteger(*cap);
        if (!value || *value < 100 || *value > 100000) throw HTTPError(400, "maxKbps must be an integer 100…100000");
        out.maxKbps = static_cast<int>(*value);
    }
    auto status = Query::value(request, "status");
    if (status && !status->empty() && *status != "0" && *status != "false") {
        if (*status != "1" && *status != "true") throw HTTPError(400, "status must be 1");
        out.status = true;
    }
    return codecs;
}

VideoStreamRequest parse(const Deps& deps, const HTTPRequest& request) {
    VideoStreamRequest out;
    out.params = Query::captureParams(request, deps.desktop.displays);
    // Streams keep apps out as stills do; a crop would change the stream's size and is not
    // taken here.
    out.filter = FrameFilter::parse(Query::value(request, "visible"), Query::value(request, "hide"), std::nullopt);
    auto codecs = parseOptions(request, out);
    out.fps = Query::clamped(request, "fps", 2, 1, deps.video.streams.tuning.maxFPS);
    auto codec = StreamCodecs::choose(codecs, deps.video.streams.codecs,
                                      [&](VideoCodec c) { return deps.video.encoders.isAvailable(c); });
    if (!codec) throw HTTPError(503, "this computer can't encode h264 or hevc video (no usable encoder)");
    out.codec = *codec;

    DisplayInfo display = deps.desktop.displays.require(out.params.display);
    StreamWidthInputs in;
    in.requested = out.params.maxWidth;
    in.pixelWidth = deps.desktop.displays.targetSize(out.params.display, 100000).first;
    in.pointsWidth = display.width;
    in.pointsHeight = display.height;
    in.serverMaxValue = deps.video.streams.maxWidthValue;
    in.serverMax = deps.video.streams.maxWidth;
    in.prefersAbove1080p = deps.video.encoders.prefersAbove1080p(out.codec);
    out.params.maxWidth = streamWidth(in);
    return out;
}

}  // namespace

void stream(const Deps& deps, HTTPRequest& request, Connection& connection) {
    VideoStreamRequest parsed = parse(deps, request);
    std::optional<std::string> accept;
    if (auto it = request.headers.find("accept"); it != request.headers.end()) accept = it->second;
    StreamWire wire = StreamWire::negotiate(accept, "application/vnd.tovo-control.stream");
    if (!deps.desktop.session.canCaptureScreen()) throw HTTPError(403, noCaptureText);
    VideoStreamSession(deps, std::move(parsed), connection, std::move(wire)).run();
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
