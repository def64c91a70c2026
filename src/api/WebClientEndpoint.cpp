// The browser client's files on the remote listener: served without a token (they hold no
// secret; every API call they make needs one), under headers that keep the page to itself.
#include "api/Endpoints.h"
#include "web/WebClient.h"

namespace tovo::Endpoints {

const char* const webClientPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; connect-src 'self'; "
    "media-src 'self' blob:; worker-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

bool webClient(const HTTPRequest& request, Connection& connection) {
    if (request.method != "GET") return false;
    const web::File* file = web::find(request.path);
    if (!file) return false;
    Connection::Headers headers{{"Content-Type", std::string(file->contentType)},
                                {"Content-Length", std::to_string(file->bytes.size())},
                                {"Content-Security-Policy", webClientPolicy},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Cross-Origin-Opener-Policy", "same-origin"},
                                {"Cache-Control", "no-cache"}};
    if (connection.writeHead(200, headers, connection.persistent) && connection.transport->send(file->bytes)) {
        connection.reusable = connection.persistent;
    }
    return true;
}

}  // namespace tovo::Endpoints
