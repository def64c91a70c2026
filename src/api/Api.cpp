#include "api/Api.h"

#include "api/Endpoints.h"
#include "api/ErrorMapping.h"
#include "http/HTTPServer.h"

namespace tovo {
namespace {

using Handler = void (*)(const ApiDependencies&, HTTPRequest&, Connection&);

struct Entry {
    const char* method;
    const char* path;
    Handler handler;
    int64_t maxBody = Router::smallBodyBytes;
};

// Clipboard contents arrive whole in one body, up to the server's largest.
constexpr int64_t clipboardBodyBytes = HTTPServer::maxBodyBytes;

// The route table, matched in order on method and path.
const Entry table[] = {
    {"GET", "/status",
     [](const ApiDependencies& d, HTTPRequest& r, Connection& c) { c.json(200, Endpoints::status(d, r)); }},
    {"GET", "/frame", Endpoints::frame},
    {"GET", "/stream", Endpoints::stream},
    {"POST", "/input", Endpoints::input},
    {"POST", "/permissions/request", Endpoints::requestPermissions},
    {"POST", "/stream/ack", Endpoints::streamAck},
    {"GET", "/events", Endpoints::events},
    {"GET", "/focus", Endpoints::focus},
    {"GET", "/audio", Endpoints::audio},
    {"GET", "/audio/stats", Endpoints::audioStats},
    {"GET", "/clipboard", Endpoints::clipboardGet},
    {"POST", "/clipboard", Endpoints::clipboardPost, clipboardBodyBytes},
    {"GET", "/clipboard/image", Endpoints::clipboardImage},
    {"GET", "/clipboard/file", Endpoints::clipboardFile},
    {"GET", "/windows", Endpoints::windows},
    {"GET", "/hit", Endpoints::hit},
    {"GET", "/cursor", Endpoints::cursor},
    {"GET", "/settle", Endpoints::settle},
    {"GET", "/app/windows", Endpoints::appWindows},
    {"GET", "/app/screenshot", Endpoints::windowScreenshot},
    {"GET", "/app/ax", Endpoints::appAX},
    {"POST", "/app/ax/press", Endpoints::axPress},
    {"POST", "/app/ax/focus", Endpoints::axFocus},
    {"POST", "/app/ax/value", Endpoints::axValue},
    {"POST", "/automation", Endpoints::automation},
    {"POST", "/agent-control", Endpoints::automation},
    {"POST", "/control", Endpoints::control},
    {"GET", "/remote", Endpoints::remoteState},
    {"POST", "/remote/pairing", Endpoints::remotePairing},
    {"POST", "/remote/pairing/stop", Endpoints::remotePairingStop},
    {"POST", "/remote/enabled", Endpoints::remoteEnabled},
    {"POST", "/remote/devices/remove", Endpoints::remoteRemove},
    {"POST", "/remote/devices/permissions", Endpoints::remotePermissions},
    {"POST", "/remote/disconnect", Endpoints::remoteDisconnect},
};

}  // namespace

Api::Api(ApiDependencies dependencies)
    : deps(std::move(dependencies)),
      routes([this] {
          std::vector<Router::Route> list;
          for (const Entry& entry : table) {
              Router::Handler handler = [this, call = entry.handler](HTTPRequest& request, Connection& connection) {
                  ErrorMapping::answering(deps.desktop.session, [&] { call(deps, request, connection); });
              };
              list.push_back({entry.method, entry.path, std::move(handler), entry.maxBody});
          }
          return list;
      }()),
      remoteRouter(routes.restrictedTo(remoteRoutes)) {}

const std::set<std::string> Api::remoteRoutes = {
    "GET /status",     "GET /frame",           "GET /stream",        "POST /stream/ack", "GET /events",
    "GET /focus",      "GET /audio",           "POST /input",        "POST /control",    "GET /clipboard",
    "POST /clipboard", "GET /clipboard/image", "GET /clipboard/file"};

}  // namespace tovo
