#include "mcp/McpHttpServer.h"

#include "base/Json.h"
#include "base/Log.h"
#include "http/HTTPError.h"

#include <fstream>

namespace tovo::mcp {
namespace {

std::string header(const HTTPRequest& request, const std::string& name) {
    auto it = request.headers.find(name);
    return it == request.headers.end() ? std::string() : it->second;
}

std::string newSessionId() {
    std::ifstream random("/dev/urandom", std::ios::binary);
    unsigned char bytes[16] = {};
    random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (!random) throw HTTPError(500, "no random bytes for a session id");
    static const char* hex = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) id += {hex[b >> 4], hex[b & 15]};
    return id;
}

void send(Connection& connection, int status, const Connection::Headers& extra, const std::string& body) {
    Connection::Headers headers = extra;
    if (!body.empty()) headers.emplace_back("Content-Type", "application/json");
    headers.emplace_back("Content-Length", std::to_string(body.size()));
    if (connection.writeHead(status, headers, false)) connection.transport->send(body);
}

bool isInitialize(const nlohmann::json& message) {
    return message.is_object() && message.value("method", "") == "initialize";
}

}  // namespace

McpHttpServer::McpHttpServer(uint16_t port, MakeTools makeTools, std::string serverVersion)
    : makeTools(std::move(makeTools)), serverVersion(std::move(serverVersion)) {
    server = HTTPServer::createLoopback(
        port, [this](HTTPRequest& request, Connection& connection) { handle(request, connection); },
        [](const HTTPRequest&) { return int64_t(4) << 20; });
    // A tool call may wait for the screen (up to a minute) before it answers.
    server->receiveTimeout = std::chrono::seconds(30);
    server->sendTimeout = std::chrono::seconds(30);
    boundPort = server->port();
    server->start();
}

McpHttpServer::~McpHttpServer() { server->stop(); }

bool McpHttpServer::trustedHost(const HTTPRequest& request) const {
    const std::string port = std::to_string(boundPort);
    const std::string host = header(request, "host");
    bool hostOk = false;
    for (const std::string name : {"127.0.0.1", "localhost", "[::1]"}) {
        hostOk = hostOk || host == name || host == name + ":" + port;
    }
    if (!hostOk) return false;
    auto origin = request.headers.find("origin");
    if (origin == request.headers.end()) return true;
    return origin->second == "http://127.0.0.1:" + port || origin->second == "http://localhost:" + port;
}

void McpHttpServer::handle(HTTPRequest& request, Connection& connection) {
    if (!trustedHost(request)) {
        throw HTTPError(403, "only http://127.0.0.1:" + std::to_string(boundPort) + "/mcp is served, to this machine");
    }
    if (request.path != "/mcp") throw HTTPError(404, "the MCP endpoint is /mcp");
    const std::string sessionId = header(request, "mcp-session-id");
    std::shared_ptr<Session> session;
    if (!sessionId.empty()) {
        MutexLock guard(lock);
        auto it = sessions.find(sessionId);
        if (it == sessions.end()) throw HTTPError(404, "no such session; initialize a new one");
        session = it->second;
    }
    if (request.method == "DELETE") {
        if (!session) throw HTTPError(400, "DELETE needs the Mcp-Session-Id of the session to end");
        MutexLock guard(lock);
        sessions.erase(sessionId);
        send(connection, 200, {}, "");
        return;
    }
    if (request.method == "GET") throw HTTPError(405, "this server sends no messages of its own; POST to /mcp");
    if (request.method != "POST") throw HTTPError(405, "POST JSON-RPC messages to /mcp");
    std::optional<nlohmann::json> message = parseJson(request.body);
    if (!message) {
        send(connection, 400, {},
             nlohmann::json{{"jsonrpc", "2.0"}, {"id", nullptr}, {"error", {{"code", -32700}, {"message", "not JSON"}}}}
                 .dump());
        return;
    }
    Connection::Headers headers;
    if (!session) {
        if (!isInitialize(*message)) throw HTTPError(400, "send Mcp-Session-Id, or initialize a session first");
        session = std::make_shared<Session>();
        session->tools = makeTools();
        session->mcp = std::make_unique<McpSession>(*session->tools, serverVersion);
        std::string id = newSessionId();
        {
            MutexLock guard(lock);
            if (sessions.size() >= maxSessions) throw HTTPError(503, "too many MCP sessions; end one with DELETE");
            sessions[id] = session;
        }
        headers.emplace_back("Mcp-Session-Id", id);
    }
    std::optional<nlohmann::json> reply;
    {
        MutexLock guard(session->lock);
        reply = session->mcp->handle(*message);
    }
    if (!reply) {
        send(connection, 202, headers, "");
        return;
    }
    send(connection, 200, headers, reply->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace tovo::mcp
