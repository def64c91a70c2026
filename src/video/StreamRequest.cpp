#include "video/StreamRequest.h"

#include "base/Text.h"
#include "capture/Displays.h"
#include "http/HTTPError.h"
#include "service/ScreenHost.h"
#include "video/StreamFlow.h"
#include "video/StreamTuning.h"
#include "video/VideoEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tovo {
namespace {

std::optional<std::string> queryValue(const HTTPRequest& request, const char* name) {
    auto it = request.query.find(name);
    if (it == request.query.end()) return std::nullopt;
    return it->second;
}

// The comma-separated words of `text`, trimmed and lower-cased.
std::vector<std::string> wordList(std::string_view text) {
    std::vector<std::string> words;
    for (auto piece : splitOn(text, ',')) words.push_back(lowercased(trimmed(piece)));
    return words;
}

int evenDown(int value) { return value - value % 2; }

}  // namespace

StreamRequestOptions StreamRequestOptions::parse(const HTTPRequest& request) {
    StreamRequestOptions options;
    options.codecs = StreamCodecs::parse(queryValue(request, "codecs"));
    if (auto id = queryValue(request, "stream"); id && !id->empty()) {
        if (!StreamFlowRegistry::isValidID(*id)) throw HTTPError(400, "stream must be 8–64 characters of A-Z a-z 0-9 _ -");
        options.streamID = *id;
    }
    if (auto ack = queryValue(request, "ack"); ack && !ack->empty() && *ack != "0") {
        if (*ack != "1") throw HTTPError(400, "ack must be 1");
        options.ack = true;
    }
    if (auto cursor = queryValue(request, "cursor"); cursor && !cursor->empty()) {
        if (*cursor != "client") throw HTTPError(400, "cursor must be client");
        options.cursorClient = true;
    }
    if (auto cap = queryValue(request, "maxKbps"); cap && !cap->empty()) {
        auto value = parseDecimalInteger(*cap);
        if (!value || *value < 100 || *value > 100000) throw HTTPError(400, "maxKbps must be an integer 100…100000");
        options.maxKbps = static_cast<int>(*value);
    }
    return options;
}

namespace StreamCodecs {

std::vector<std::string> parse(const std::optional<std::string>& text) {
    std::vector<std::string> out;
    if (!text) return out;
    for (const auto& name : wordList(*text)) {
        if (videoCodecNamed(name) && std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
    }
    return out;
}

std::set<VideoCodec> serverAllowed(const char* variable) {
    std::set<VideoCodec> allowed;
    if (variable) {
        for (const auto& name : wordList(variable)) {
            if (auto codec = videoCodecNamed(name)) allowed.insert(*codec);
        }
    }
    if (allowed.empty()) allowed = {VideoCodec::h264, VideoCodec::hevc};
    return allowed;
}

VideoCodec choose(const std::vector<std::string>& client, const std::set<VideoCodec>& allowed,
                  const std::function<bool(VideoCodec)>& available) {
    std::vector<VideoCodec> candidates;
    for (const auto& name : client) {
        if (auto codec = videoCodecNamed(name)) candidates.push_back(*codec);
    }
    candidates.push_back(VideoCodec::h264);
    candidates.push_back(VideoCodec::hevc);
    for (VideoCodec codec : candidates) {
        if (allowed.count(codec) && available(codec)) return codec;
    }
    throw HTTPError(503, "this Mac can't encode h264 or hevc video (VideoToolbox)");
}

}  // namespace StreamCodecs

int videoMaxWidth(const char* variable) {
    std::optional<int64_t> value;
    if (variable) value = parseDecimalInteger(variable);
    return static_cast<int>(std::clamp<int64_t>(value.value_or(1600), 320, 3840));
}

int streamWidth(const StreamWidthInputs& in) {
    const int R = in.requested, P = in.pixelWidth;
    int W;
    if (in.serverMax) {
        W = std::min(R, *in.serverMax);
    } else {
        int T = 2 * P / 3;
        int B = std::max(in.serverMaxValue, T);
        W = (B <= 2560 || P < 2560) ? std::min(evenDown(std::min(B, P)), R) : std::min(R, 2560);
    }
    if (in.prefersAbove1080p) {
        int limit = std::min(R, 2048);
        for (int c = std::max(16, evenDown(W)); c <= limit; c += 2) {
            int w = evenDown(std::max(2, std::min(P, c)));
            int h = evenDown(std::max(2, static_cast<int>(std::floor(in.pointsHeight * w / std::max(in.pointsWidth, 1.0)))));
            if (w < c) break;
            if (static_cast<int64_t>(w) * h > 1920 * 1080) {
                W = w;
                break;
            }
        }
    }
    return W;
}

bool statusRequested(const HTTPRequest& request) {
    auto value = queryValue(request, "status");
    if (!value || value->empty() || *value == "0" || *value == "false") return false;
    if (*value == "1" || *value == "true") return true;
    throw HTTPError(400, "status must be 1");
}

CaptureSetup captureSetup(const HTTPRequest& request) {
    CaptureSetup setup;
    setup.params = CaptureParams::parse(request);
    setup.options = StreamRequestOptions::parse(request);
    statusRequested(request);
    auto fps = request.integer("fps").value_or(2);
    setup.fps = static_cast<int>(std::clamp<int64_t>(fps, 1, StreamTuning::current().maxFPS));

    static const std::set<VideoCodec> allowed = StreamCodecs::serverAllowed(std::getenv("TOVO_VIDEO_CODECS"));
    setup.codec = StreamCodecs::choose(setup.options.codecs, allowed, VideoEncoder::isAvailable);

    static const char* widthVariable = std::getenv("TOVO_VIDEO_MAX_WIDTH");
    auto display = Displays::info(setup.params.display);
    if (!display) throw HTTPError(404, "unknown display " + std::to_string(setup.params.display));
    StreamWidthInputs in;
    in.requested = setup.params.maxWidth;
    in.pixelWidth = Displays::targetSize(setup.params.display, 100000).first;
    in.pointsWidth = display->width;
    in.pointsHeight = display->height;
    in.serverMaxValue = videoMaxWidth(widthVariable);
    if (widthVariable) in.serverMax = in.serverMaxValue;
    in.prefersAbove1080p = VideoEncoder::prefersAbove1080p(setup.codec);
    setup.params.maxWidth = streamWidth(in);
    return setup;
}

std::string streamPart(const std::string& contentType, std::string_view body, std::optional<std::pair<int, int>> size,
                       uint64_t seq, std::optional<double> publishedAt, const std::string& kind,
                       const std::optional<std::string>& codec, const std::string& boundary) {
    std::string head = "--" + boundary + "\r\nContent-Type: " + contentType +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (size) {
        head += "X-Frame-Width: " + std::to_string(size->first) + "\r\nX-Frame-Height: " + std::to_string(size->second) +
                "\r\n";
    }
    head += "X-Frame-Seq: " + std::to_string(seq) + "\r\n";
    if (publishedAt) head += "X-Frame-Time: " + std::to_string(static_cast<int64_t>(std::llround(*publishedAt))) + "\r\n";
    head += "X-Frame-Kind: " + kind + "\r\n";
    if (codec) head += "X-Stream-Codec: " + *codec + "\r\n";
    head += "\r\n";
    std::string part;
    part.reserve(head.size() + body.size() + 2);
    part += head;
    part += body;
    part += "\r\n";
    return part;
}

std::string statusPart(const ScreenDisplayState& state, const std::optional<ConsoleState>& console, uint64_t seq,
                       const StreamWire& wire) {
    nlohmann::json body = state.json();
    body["console"] = console ? nlohmann::json{{"locked", console->locked}} : nlohmann::json();
    std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return streamPart(wire.status, text, std::nullopt, seq, std::nullopt, "status", std::nullopt, wire.boundary);
}

StreamStatusFeed::StreamStatusFeed(std::shared_ptr<ScreenStateTracker> tracker, uint32_t display)
    : tracker(std::move(tracker)), display(display) {}

bool StreamStatusFeed::pump(Connection& connection) {
    auto snapshot = tracker->snapshot();
    if (seen && *seen == snapshot.version) return true;
    seen = snapshot.version;
    ScreenDisplayState state = tracker->capture();
    state.display = display;
    for (const auto& s : snapshot.states) {
        if (s.display == display) state = s;
    }
    if ((!sent || *sent != state) && !write(connection, state, snapshot.console)) return false;
    if (state.phase == ScreenPhase::unavailable) {
        ScreenHost::logSink("stream of display " + std::to_string(display) + ": " +
                            (state.reason ? toString(*state.reason) : "unavailable") + "; ending it (status part sent)");
        return false;
    }
    return true;
}

bool StreamStatusFeed::write(Connection& connection, const ScreenDisplayState& state,
                             const std::optional<ConsoleState>& console) {
    sent = state;
    ++connection.partSeq;
    return connection.transport->send(statusPart(state, console, connection.partSeq, connection.wire));
}

}  // namespace tovo
