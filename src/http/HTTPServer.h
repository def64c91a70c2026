#pragma once

#include "http/Connection.h"
#include "http/HTTPError.h"
#include "http/HTTPRequest.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tovo {

// The Unix-socket listener: one accept thread, one thread per connection, one request per
// connection, always answered with "Connection: close".
//
// Lifetime: the accept thread and every connection thread hold the server alive through a
// shared pointer, so the object may be dropped by its owner at any time after stop().
class HTTPServer : public std::enable_shared_from_this<HTTPServer> {
public:
    using Handler = std::function<void(HTTPRequest&, Connection&)>;

    static constexpr size_t maxPathBytes = 103;  // plus the terminating zero: 104 bytes
    static constexpr int backlog = 16;
    static constexpr int64_t maxBodyBytes = 8388608;

    // Creates, binds (mode 0600) and listens; throws HTTPError 500 on failure.
    static std::shared_ptr<HTTPServer> create(std::string path, Handler handler);
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Starts the accept thread. Call once.
    void start();
    // Stops listening and removes the socket file, once. Connections being served go on.
    void stop();

    // Called on the accept thread when accepting fails for good (after the clean-up).
    // Set before start().
    std::function<void(const std::string&)> onFatal;
    // How long a connection may stay silent while a request is read. Set before start().
    std::chrono::milliseconds receiveTimeout{10000};
    // How long one send may make no progress before the connection counts as gone, so that
    // a client that stops reading ends its stream. Set before start().
    std::chrono::milliseconds sendTimeout{10000};

    const std::string path;

private:
    HTTPServer(std::string path, Handler handler, int fd);
    void acceptLoop();
    void spawnConnection(int fd);

    const Handler handler;
    const int listenFD;

    std::mutex lock;          // guards the three flags below
    bool stopped = false;     // no more connections are accepted
    bool accepting = false;   // the accept thread exists; it closes listenFD when it ends
    bool fdClosed = false;    // listenFD has been closed
};

// Serves one request on `connection`: reads head and body, calls `handler`, and turns
// whatever it throws into a JSON error answer.
void serveOneRequest(Connection& connection, const HTTPServer::Handler& handler, int64_t maxBody);

// Writes `error` as its JSON answer: `extra` with "error" set to the message.
void answerError(Connection& connection, const HTTPError& error);

}  // namespace tovo
