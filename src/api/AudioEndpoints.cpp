// GET /audio (Opus packets as an endless multipart stream) and GET /audio/stats.
#include "api/Endpoints.h"
#include "base/Text.h"
#include "http/HTTPError.h"

#include <chrono>

namespace tovo::Endpoints {
namespace {

// One part, byte for byte, for one write.
std::string audioPart(const std::string& data, uint64_t seq, int64_t timeMs, const std::string& boundary) {
    std::string part =
        "--" + boundary + "\r\nContent-Type: audio/opus\r\nContent-Length: " + std::to_string(data.size()) +
        "\r\nX-Audio-Seq: " + std::to_string(seq) + "\r\nX-Audio-Time: " + std::to_string(timeMs) + "\r\n\r\n";
    part.reserve(part.size() + data.size() + 2);
    part += data;
    part += "\r\n";
    return part;
}

}  // namespace

bool audioEnabled(const std::function<const char*(const char*)>& environment) {
    const char* value = environment("TOVO_AUDIO");
    if (!value) value = environment("KILN_AUDIO");
    if (!value) return true;
    std::string v = lowercased(trimmed(value));
    return !(v == "off" || v == "0" || v == "false" || v == "no");
}

void audio(const Deps& deps, HTTPRequest& request, Connection& connection) {
    if (!deps.features.audio) throw HTTPError(503, "/audio is not available in this build");
    if (!deps.features.audioEnabled) throw HTTPError(503, "audio off");
    std::optional<std::string> accept;
    if (auto it = request.headers.find("accept"); it != request.headers.end()) accept = it->second;
    connection.wire = StreamWire::negotiate(accept, "application/vnd.tovo-control.audio");
    std::shared_ptr<AudioCapture::Client> client;
    try {
        client = deps.features.audio->subscribe();
    } catch (const AudioError& error) {
        throw HTTPError(503, error.what());
    }
    struct Leave {
        AudioCaptures& captures;
        std::shared_ptr<AudioCapture::Client> client;
        ~Leave() { captures.unsubscribe(client); }
    } leave{*deps.features.audio, client};

    Connection::Headers headers{{"Content-Type", connection.wire.audio},
                                {"Cache-Control", "no-cache"},
                                {"X-Audio-Codec", "opus"},
                                {"X-Audio-Rate", "48000"},
                                {"X-Audio-Channels", "2"},
                                {"X-Audio-Frames", "960"}};
    if (!client->cookie.empty()) headers.emplace_back("X-Audio-Cookie", base64(client->cookie));
    headers.emplace_back("X-Audio-Video-Offset", std::to_string(client->videoOffset.totalMs()));
    if (!connection.writeHead(200, headers, false) || connection.peerClosed()) return;
    // A client that stops reading must fill its own queue, where it loses the oldest
    // packets, rather than seconds of socket buffer.
    connection.transport->limitSendBuffer(8192);
    for (;;) {
        auto items = client->queue->popAll(std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
        if (items.empty() && client->queue->isClosed()) return;
        for (const auto& item : items) {
            if (!connection.transport->send(
                    audioPart(item.packet.data, item.seq, item.packet.timeMs, connection.wire.boundary))) {
                return;
            }
        }
        if (connection.peerClosed()) return;
    }
}

void audioStats(const Deps& deps, HTTPRequest&, Connection& connection) {
    nlohmann::json object = deps.features.audio ? deps.features.audio->statsJSON() : nlohmann::json{{"running", false}};
    object["enabled"] = deps.features.audio && deps.features.audioEnabled;
    connection.json(200, object);
}

}  // namespace tovo::Endpoints
