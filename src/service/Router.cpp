#include "service/Router.h"

#include "capture/Displays.h"
#include "capture/StillCapture.h"
#include "desktop/AXSummary.h"
#include "desktop/AppWindows.h"
#include "desktop/WindowCatalog.h"
#include "http/HTTPError.h"
#include "input/Input.h"
#include "http/ServerIdentity.h"
#include "service/ScreenPermissions.h"
#include "service/ScreenState.h"
#include "service/SessionInfo.h"
#include "video/StreamEndpoints.h"

#include <cmath>
#include <cstdlib>

namespace tovo::Router {
namespace {

using Handler = void (*)(HTTPRequest&, Connection&);

struct Route {
    const char* method;
    const char* path;
    Handler handler;  // null: the endpoint is not part of this build yet
};

void statusHandler(HTTPRequest&, Connection& connection) { connection.json(200, status()); }

void requestPermissions(HTTPRequest&, Connection& connection) {
    ScreenPermissions::requestAll();
    connection.json(200, {{"ok", true},
                          {"screenRecording", ScreenPermissions::screenRecording()},
                          {"accessibility", ScreenPermissions::accessibility()}});
}

// GET /windows: the window catalog, limited to one display when `display` is given.
void windowsHandler(HTTPRequest& request, Connection& connection) {
    std::optional<uint32_t> display;
    if (auto asked = request.integer("display")) display = Displays::resolve(asked);
    WindowCatalog catalog = WindowCatalog::current();
    std::optional<AppRef> focused;
    if (ScreenPermissions::accessibility()) focused = focusedApp(catalog, windowSystem());
    connection.json(200, catalog.json(display, focused));
}

void focusHandler(HTTPRequest& request, Connection& connection) {
    request.integer("display");  // read for its validation only
    connection.json(200, FocusProbe::current());
}

void axHandler(HTTPRequest& request, Connection& connection) { connection.json(200, AXSummary::answer(request)); }

// GET /hit: the app whose window is front-most at a point of a display.
void hitHandler(HTTPRequest& request, Connection& connection) {
    double x = unitParameter(request, "x");
    double y = unitParameter(request, "y");
    uint32_t display = Displays::resolve(request.integer("display"));
    auto found = WindowCatalog::current().hit(display, x, y);
    if (!found) {
        connection.json(200, {{"app", nullptr}, {"layer", nullptr}});
        return;
    }
    connection.json(200, {{"app", toJson(found->first)}, {"layer", found->second}});
}

void eventsHandler(HTTPRequest& request, Connection& connection) {
    events(request, connection, std::chrono::seconds(15));
}

// The route table, matched in order on method and path.
const Route routes[] = {
    {"GET", "/status", statusHandler},
    {"GET", "/frame", frame},
    {"GET", "/stream", stream},
    {"POST", "/input", Input::handle},
    {"POST", "/permissions/request", requestPermissions},
    {"POST", "/stream/ack", streamAck},
    {"GET", "/events", eventsHandler},
    {"GET", "/focus", focusHandler},
    {"GET", "/audio", nullptr},
    {"GET", "/audio/stats", nullptr},
    {"GET", "/clipboard", nullptr},
    {"POST", "/clipboard", nullptr},
    {"GET", "/clipboard/image", nullptr},
    {"GET", "/clipboard/file", nullptr},
    {"GET", "/windows", windowsHandler},
    {"GET", "/hit", hitHandler},
    {"GET", "/app/windows", AppWindows::handle},
    {"GET", "/app/screenshot", AppWindows::screenshot},
    {"GET", "/app/ax", axHandler},
    {"POST", "/automation", nullptr},
    {"POST", "/agent-control", nullptr},
    {"POST", "/control", nullptr},
    {"GET", "/remote", nullptr},
    {"POST", "/remote/pairing", nullptr},
    {"POST", "/remote/pairing/stop", nullptr},
    {"POST", "/remote/enabled", nullptr},
    {"POST", "/remote/devices/remove", nullptr},
    {"POST", "/remote/disconnect", nullptr},
};

bool sendAll(Connection& connection, const std::string& bytes) { return connection.transport->send(bytes); }

}  // namespace

void handle(HTTPRequest& request, Connection& connection) {
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

std::vector<std::string> routeList() {
    std::vector<std::string> out;
    for (const Route& route : routes) out.push_back(std::string(route.method) + " " + route.path);
    return out;
}

double unitParameter(const HTTPRequest& request, const std::string& name) {
    auto it = request.query.find(name);
    if (it == request.query.end() || it->second.empty()) throw HTTPError(400, name + " is required");
    const std::string& text = it->second;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    bool whole = end == text.c_str() + text.size() && !std::isspace(static_cast<unsigned char>(text.front()));
    if (!whole || !(value >= 0 && value <= 1)) throw HTTPError(400, name + " must be a number in 0…1");
    return value;
}

nlohmann::json jsonBody(const HTTPRequest& request) {
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) throw HTTPError(400, "body must be a JSON object");
    return body;
}

nlohmann::json status() {
    bool loggedIn = SessionInfo::current();
    nlohmann::json displays = nlohmann::json::array();
    if (loggedIn) {
        for (const auto& display : Displays::active()) displays.push_back(display.json());
    }
    nlohmann::json object{{"ok", !displays.empty()},
                          {"session", {{"loggedIn", loggedIn}}},
                          {"screenRecording", ScreenPermissions::screenRecording()},
                          {"accessibility", ScreenPermissions::accessibility()},
                          {"displays", displays}};
    if (displays.empty()) {
        object["error"] = loggedIn ? "this session has no display attached" : "no GUI login session for this macOS user";
    }
    if (auto tracker = ScreenStateTracker::current()) {
        auto snapshot = tracker->snapshot();
        nlohmann::json states = nlohmann::json::array();
        for (const auto& state : snapshot.states) states.push_back(state.json());
        object["states"] = states;
        object["console"] = snapshot.console ? nlohmann::json{{"locked", snapshot.console->locked}} : nlohmann::json();
    }
    object.update(ServerIdentity::json());
    return object;
}

void events(HTTPRequest&, Connection& connection, std::chrono::milliseconds pingInterval) {
    using Clock = std::chrono::steady_clock;
    auto tracker = ScreenStateTracker::current();
    if (!tracker) throw HTTPError(503, "the screen state is not running");
    if (!connection.writeHead(200, {{"Content-Type", "application/x-ndjson"}, {"Cache-Control", "no-cache"}}, false)) {
        return;
    }

    // Only lines posted after this moment are sent.
    auto seen = tracker->snapshot();
    uint64_t lastPosted = seen.postedSeq;
    if (!sendAll(connection, ScreenStateTracker::eventLine(seen.states, seen.console))) return;
    // The clipboard line joins here once the clipboard monitor feeds the tracker.
    auto lastWrite = Clock::now();
    if (connection.peerClosed()) return;

    for (;;) {
        auto deadline = std::min(lastWrite + pingInterval, Clock::now() + std::chrono::seconds(1));
        if (!tracker->waitForChange(seen.version, deadline)) return;
        auto now = tracker->snapshot();
        if (now.version == seen.version) {
            if (Clock::now() - lastWrite >= pingInterval) {
                if (!sendAll(connection, ScreenStateTracker::pingLine)) return;
                lastWrite = Clock::now();
            }
        } else {
            if (now.stateVersion != seen.stateVersion &&
                !sendAll(connection, ScreenStateTracker::eventLine(now.states, now.console))) {
                return;
            }
            for (const auto& [seq, line] : tracker->posted(lastPosted)) {
                if (!sendAll(connection, line)) return;
                lastPosted = seq;
            }
            seen = now;
            lastWrite = Clock::now();
        }
        if (connection.peerClosed()) return;
    }
}

}  // namespace tovo::Router
