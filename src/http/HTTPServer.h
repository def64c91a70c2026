#pragma once

#include "base/AcceptLoop.h"
#include "base/Mutex.h"
#include "http/Connection.h"
#include "http/HTTPError.h"
#include "http/HTTPRequest.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tovo {

// The Unix-socket listener: one accept thread, one thread per connection, one request per
// connection, always answered with "Connection: close". The server keeps the set of live
// connections: stop() ends them and joins every thread it started.
//
// Threads: start() and stop() from any thread but the server's own; `onFatal` runs on the
// accept thread.
class HTTPServer {
public:
    using Handler = std::function<void(HTTPRequest&, Connection&)>;
    // The largest body a request may carry, decided from its head; a larger one is refused
    // with 413 before a byte of it is read.
    using BodyLimit = std::function<int64_t(const HTTPRequest&)>;
    // The socket file this server bound, as the file system names it.
    struct SocketFile {
        uint64_t device = 0;
        uint64_t inode = 0;
    };

    static constexpr size_t maxPathBytes = 103;  // plus the terminating zero: 104 bytes
    static constexpr int backlog = 16;
    static constexpr int64_t maxBodyBytes = 8388608;

    // Creates, binds (mode 0600) and listens; throws HTTPError 500 on failure. A socket left
    // at the path by a process that is gone is replaced; a live one (something accepts a
    // connection on it) and any file that is not a socket are left alone and refused.
    static std::unique_ptr<HTTPServer> create(std::string path, Handler handler, BodyLimit bodyLimit = {});
    // The same on TCP at 127.0.0.1:`port` (0: any free port, see port()); nothing but this
    // machine can connect. Throws HTTPError 500 on failure.
    static std::unique_ptr<HTTPServer> createLoopback(uint16_t port, Handler handler, BodyLimit bodyLimit = {});
    // The TCP port of a loopback server (0 for a socket file).
    uint16_t port() const;
    // Stops first.
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Starts the accept thread. Call once.
    void start();
    // Stops listening, removes the socket file (when it is still the one bound), ends the live connections (their
    // streams see the end between sections) and joins every thread. Idempotent.
    void stop();
    // Connections being served now.
    size_t liveConnections();

    // Called on the accept thread when accepting fails for good (after the clean-up). It may
    // stop the server but must not destroy it. Set before start().
    std::function<void(const std::string&)> onFatal;
    // How long a connection may stay silent while a request is read. Set before start().
    std::chrono::milliseconds receiveTimeout{10000};
    // How long one send may make no progress before the connection counts as gone, so that
    // a client that stops reading ends its stream. Set before start().
    std::chrono::milliseconds sendTimeout{10000};
    // Connections served at once. At the cap a newcomer takes the place of the connection
    // that has waited longest for its request head; when every one is busy with a request
    // it is answered 503 and closed. Set before start().
    size_t maxConnections = 256;

    const std::string path;
    const SocketFile socketFile;

private:
    HTTPServer(std::string path, Handler handler, BodyLimit bodyLimit, int fd, SocketFile file);
    void removeSocketFile() const;
    std::optional<AcceptedConnection> accept(int fd) const;
    void refuse(int fd) const;
    void acceptFailed(const std::string& reason);

    const Handler handler;
    const BodyLimit bodyLimit;
    const int listenFD;

    Mutex lock;  // guards stopped and loop (which is made once and lives as long as the server)
    bool stopped TOVO_GUARDED_BY(lock) = false;  // no more connections are accepted
    std::unique_ptr<AcceptLoop> loop TOVO_GUARDED_BY(lock);
};

// Serves one request on `connection`: reads head and body (at most `bodyLimit(head)` bytes),
// calls `handler`, and turns whatever it throws into a JSON error answer.
void serveOneRequest(Connection& connection, const HTTPServer::Handler& handler,
                     const HTTPServer::BodyLimit& bodyLimit);

// Removes the socket file at `path` only when it is still `file`: a later server on the same
// path keeps its socket. Async-signal-safe.
void removeSocketFileIfSame(const char* path, HTTPServer::SocketFile file);

// Writes `error` as its JSON answer: `extra` with "error" set to the message.
void answerError(Connection& connection, const HTTPError& error);

}  // namespace tovo
