#pragma once

#include "http/Connection.h"
#include "http/HTTPRequest.h"

namespace tovo::Router {

// Answers one request on `connection`, or throws HTTPError. Runs on the connection's
// thread.
void handle(HTTPRequest& request, Connection& connection);

}  // namespace tovo::Router
