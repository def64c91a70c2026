#include "http/Router.h"

#include "http/HTTPError.h"

namespace tovo {

Router::Router(std::vector<Route> routes) : routes(std::move(routes)) {}

void Router::handle(HTTPRequest& request, Connection& connection) const {
    bool knownPath = false;
    for (const Route& route : routes) {
        if (request.path != route.path) continue;
        knownPath = true;
        if (request.method != route.method) continue;
        if (!route.handler) throw HTTPError(503, request.path + " is not available in this build");
        route.handler(request, connection);
        return;
    }
    if (knownPath) throw HTTPError(405, "method " + request.method + " not allowed on " + request.path);
    throw HTTPError(404, "no such endpoint " + request.path);
}

int64_t Router::bodyLimit(const HTTPRequest& request) const {
    for (const Route& route : routes) {
        if (route.path == request.path && route.method == request.method) return route.maxBody;
    }
    return smallBodyBytes;
}

Router Router::restrictedTo(const std::set<std::string>& allowed) const {
    std::vector<Route> kept;
    for (const Route& route : routes) {
        if (allowed.count(route.method + " " + route.path)) kept.push_back(route);
    }
    return Router(std::move(kept));
}

std::vector<std::string> Router::list() const {
    std::vector<std::string> out;
    for (const Route& route : routes) out.push_back(route.method + " " + route.path);
    return out;
}

}  // namespace tovo
