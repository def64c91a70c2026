#include "service/Router.h"

#include "http/HTTPError.h"

namespace tovo::Router {

void handle(HTTPRequest& request, Connection&) {
    // No endpoints are served yet; every path is unknown.
    throw HTTPError(404, "no such endpoint " + request.path);
}

}  // namespace tovo::Router
