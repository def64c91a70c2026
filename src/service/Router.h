#pragma once

#include "http/Connection.h"
#include "http/HTTPRequest.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace tovo::Router {

// Answers one request on `connection`, or throws HTTPError: 404 for an unknown path, 405
// for a known path with another method. Runs on the connection's thread.
void handle(HTTPRequest& request, Connection& connection);

// A query value that must be a number in 0…1 (both included). Throws 400 "{name} is
// required" when absent or empty, "{name} must be a number in 0…1" otherwise.
double unitParameter(const HTTPRequest& request, const std::string& name);

// The request body as a JSON object; throws 400 "body must be a JSON object".
nlohmann::json jsonBody(const HTTPRequest& request);

// The object GET /status answers with.
nlohmann::json status();

// GET /events: the NDJSON feed, with a ping line after `pingInterval` of silence. Returns
// when the client goes away or the tracker stops.
void events(HTTPRequest& request, Connection& connection, std::chrono::milliseconds pingInterval);

// "{METHOD} {path}" of every route, in table order.
std::vector<std::string> routeList();

}  // namespace tovo::Router
