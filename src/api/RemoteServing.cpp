// The request loop of the remote listener: many requests per connection, each from a paired
// device (POST /pair excepted), limited to the routes phones may use.
#include "api/Api.h"
#include "api/Endpoints.h"
#include "http/HTTPError.h"
#include "http/HTTPServer.h"

#include <algorithm>
#include <atomic>

namespace tovo {
namespace {

// A remote connection as the HTTP reader sees it. `readTimeout` bounds every receive and
// changes between requests: longer while a bound phone is idle.
class SecureTransport final : public ByteTransport {
public:
    explicit SecureTransport(std::unique_ptr<SecureStream> stream) : stream(std::move(stream)) {}

    std::string receive(size_t max) override { return stream->receive(max, readTimeout.load()); }
    std::string receiveWithin(size_t max, double seconds) override {
        return stream->receive(max, std::min(seconds, readTimeout.load()));
    }
    bool send(std::string_view data) override { return stream->send(data); }
    bool hungUp() override { return stream->hungUp(); }
    void close() override { stream->close(); }

    const std::unique_ptr<SecureStream> stream;
    std::atomic<double> readTimeout{10};
};

// Refuses a route the device's permissions do not allow; seeing the screen is always allowed.
void admitPermitted(const RemoteDevice& device, const HTTPRequest& request) {
    const std::string& path = request.path;
    const char* needed = nullptr;
    const char* doing = nullptr;
    if (path == "/input" || path == "/control") {
        if (!device.permissions.control) needed = "control", doing = "control the screen";
    } else if (path == "/clipboard" || path.starts_with("/clipboard/")) {
        if (!device.permissions.clipboard) needed = "clipboard", doing = "use the clipboard";
    } else if (path == "/audio") {
        if (!device.permissions.audio) needed = "audio", doing = "hear the sound";
    }
    if (!needed) return;
    throw HTTPError(403, device.name + " may not " + doing + " (allowed on the computer, in the Tovo Control menu)",
                    {{"code", "not-permitted"}, {"permission", needed}});
}

constexpr double unboundTimeout = 10;
constexpr double boundIdleTimeout = 65;
constexpr int64_t smallBody = 65536;
constexpr int64_t clipboardBody = 4194304;

}  // namespace

void Api::serveRemote(uint64_t id, std::unique_ptr<SecureStream> stream) const {
    RemoteAccess& remote = *deps.features.remote;
    const std::string peer = stream->peer();
    auto transport = std::make_shared<SecureTransport>(std::move(stream));
    auto connection = std::make_shared<Connection>(transport);
    if (!remote.attach(id, [connection] {
            connection->endByServer();
            connection->transport->close();
        })) {
        transport->close();  // evicted during its handshake
        return;
    }

    for (;;) {
        const bool bound = remote.isBound(id);
        transport->readTimeout = bound ? boundIdleTimeout : unboundTimeout;
        HTTPRequest request;
        int64_t length = 0;
        bool pairing = false;
        bool closeAfter = false;
        try {
            try {
                std::tie(request, length) = connection->readHead(bound);
            } catch (const Connection::Idle&) {
                break;
            }
            transport->readTimeout = unboundTimeout;
            remote.answering(id, true);
            auto header = request.headers.find("connection");
            connection->persistent = header == request.headers.end() || lowercased(header->second) != "close";

            if (Endpoints::webClient(request, *connection)) {
                // One of the page's files: no token needed, the connection stays as it is.
            } else if (request.method == "POST" && request.path == "/pair") {
                pairing = true;
                request.body = connection->readBody(length, smallBody);
                Endpoints::pair(remote, request, *connection, peer);
            } else {
                auto authorization = request.headers.find("authorization");
                std::optional<std::string> given;
                if (authorization != request.headers.end()) given = authorization->second;
                auto device = remote.authenticate(given, request.method, request.path, peer);
                if (!device) throw HTTPError(401, "unauthorized");
                if (!remote.bind(id, *device)) throw HTTPError(401, "another device's token on this connection");
                if (!remoteRoutes.count(request.method + " " + request.path)) {
                    throw HTTPError(404, "no such endpoint " + request.path);
                }
                request.body = connection->readBody(length, request.path == "/clipboard" ? clipboardBody : smallBody);
                admitPermitted(*device, request);
                request.remote = HTTPRequest::Sender{device->id, device->name};
                remoteRouter.handle(request, *connection);
            }
        } catch (const HTTPError& error) {
            answerError(*connection, error);
            closeAfter = error.status == 400 || error.status == 401 || error.status == 431;
        } catch (const std::exception& error) {
            connection->json(500, {{"error", error.what()}});
            closeAfter = true;
        }
        remote.answering(id, false);
        // A body left unread would be read as the next request; an unbound connection is
        // done after its /pair answer (pairing again takes a fresh one).
        closeAfter = closeAfter || connection->bodyUnread() || (pairing && !bound);
        if (closeAfter || !connection->reusable || connection->peerClosed()) break;
    }
    remote.closed(id);
    transport->close();
}

}  // namespace tovo
