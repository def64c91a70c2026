#pragma once

#include "http/Connection.h"
#include "http/HTTPRequest.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace tovo {

// A route table matched in order on method and path. One table can be served by several
// listeners, each under its own allow-list (`restrictedTo`).
//
// Threads: immutable once built; handle() runs on any connection thread.
class Router {
public:
    using Handler = std::function<void(HTTPRequest&, Connection&)>;
    // The body limit of every route that does not name its own: requests are small JSON.
    static constexpr int64_t smallBodyBytes = 65536;
    struct Route {
        std::string method;
        std::string path;
        Handler handler;  // null: the endpoint is not part of this build
        int64_t maxBody = smallBodyBytes;
    };

    explicit Router(std::vector<Route> routes);

    // Answers one request on `connection`, or throws HTTPError: 404 for an unknown path, 405
    // for a known path with another method, 503 for an endpoint that is not built.
    void handle(HTTPRequest& request, Connection& connection) const;
    // The same routes, but only those whose "{METHOD} {path}" is in `allowed`; the others
    // answer 404 as if unknown.
    Router restrictedTo(const std::set<std::string>& allowed) const;
    // The largest body the request's route takes (the small limit for unknown routes, which
    // are refused anyway).
    int64_t bodyLimit(const HTTPRequest& request) const;
    // "{METHOD} {path}" of every route, in table order.
    std::vector<std::string> list() const;

private:
    std::vector<Route> routes;
};

}  // namespace tovo
