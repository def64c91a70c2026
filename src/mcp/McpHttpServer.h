#pragma once

#include "base/Mutex.h"
#include "http/Connection.h"
#include "http/HTTPRequest.h"
#include "http/HTTPServer.h"
#include "mcp/McpSession.h"
#include "mcp/ToolBox.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tovo::mcp {

// MCP's Streamable HTTP transport at http://127.0.0.1:PORT/mcp. A POST carries one JSON-RPC
// message (or a batch) and is answered as application/json (202 with no body when it held
// only notifications). initialize opens a session whose Mcp-Session-Id every later request
// must carry; DELETE ends it; GET is 405, since this server sends nothing unasked. A request
// whose Host or Origin is not this loopback address is refused with 403, so that a web page
// reached through a rebound DNS name cannot drive the desktop.
//
// Threads: requests are served on the server's connection threads; each session answers one
// request at a time.
class McpHttpServer {
public:
    using MakeTools = std::function<std::unique_ptr<ToolBox>()>;

    // Listens at once (port 0: any free port); throws HTTPError 500 when it cannot.
    McpHttpServer(uint16_t port, MakeTools makeTools, std::string serverVersion);
    ~McpHttpServer();

    uint16_t port() const { return boundPort; }
    // One request (what the connection threads call).
    void handle(HTTPRequest& request, Connection& connection);

    static constexpr size_t maxSessions = 64;

private:
    struct Session {
        Mutex lock;  // serialises the session's requests
        std::unique_ptr<ToolBox> tools;
        std::unique_ptr<McpSession> mcp;
    };
    bool trustedHost(const HTTPRequest& request) const;

    const MakeTools makeTools;
    const std::string serverVersion;
    Mutex lock;  // guards sessions
    std::map<std::string, std::shared_ptr<Session>> sessions TOVO_GUARDED_BY(lock);
    std::unique_ptr<HTTPServer> server;
    uint16_t boundPort = 0;
};

}  // namespace tovo::mcp
