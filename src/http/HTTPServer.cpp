#include "http/HTTPServer.h"

#include "base/Log.h"
#include "base/Mutex.h"
#include "http/FDTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tovo {
namespace {

std::string errnoText(int error) { return std::strerror(error); }

// Makes way for binding at `path`: a socket whose server is gone is removed; a socket
// something still accepts on, and any other kind of file, are refused and left alone.
void clearDeadSocket(const std::string& path, const sockaddr_un& address) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return;  // nothing there; bind reports other trouble
    if (!S_ISSOCK(info.st_mode)) throw HTTPError(500, "a file that is not a socket is in the way");
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) throw HTTPError(500, "socket: " + errnoText(errno));
    int connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    int error = errno;
    ::close(probe);
    // A full backlog (EAGAIN) is a live server too, only a busy one.
    if (connected == 0 || error == EAGAIN || error == EINPROGRESS) {
        throw HTTPError(500, "another instance is serving it");
    }
    if (error != ECONNREFUSED && error != ENOENT) {
        throw HTTPError(500, "cannot tell whether the socket there is in use: " + errnoText(error));
    }
    ::unlink(path.c_str());
}

}  // namespace

void removeSocketFileIfSame(const char* path, HTTPServer::SocketFile file) {
    struct stat info {};
    if (::lstat(path, &info) != 0) return;
    if (static_cast<uint64_t>(info.st_dev) == file.device && static_cast<uint64_t>(info.st_ino) == file.inode) {
        ::unlink(path);
    }
}

std::unique_ptr<HTTPServer> HTTPServer::create(std::string path, Handler handler, BodyLimit bodyLimit) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() > maxPathBytes) throw HTTPError(500, "socket path too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    clearDeadSocket(path, address);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw HTTPError(500, "socket: " + errnoText(errno));

    mode_t previous = ::umask(0177);
    int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int bindError = errno;
    ::umask(previous);
    if (bound != 0) {
        ::close(fd);
        throw HTTPError(500, "bind: " + errnoText(bindError));
    }
    ::chmod(path.c_str(), 0600);
    struct stat info {};
    ::lstat(path.c_str(), &info);
    SocketFile file{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    if (::listen(fd, backlog) != 0) {
        int listenError = errno;
        ::close(fd);
        removeSocketFileIfSame(path.c_str(), file);
        throw HTTPError(500, "listen: " + errnoText(listenError));
    }
    if (!bodyLimit) bodyLimit = [](const HTTPRequest&) { return maxBodyBytes; };
    return std::unique_ptr<HTTPServer>(
        new HTTPServer(std::move(path), std::move(handler), std::move(bodyLimit), fd, file));
}

std::unique_ptr<HTTPServer> HTTPServer::createLoopback(uint16_t port, Handler handler, BodyLimit bodyLimit) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw HTTPError(500, "socket: " + errnoText(errno));
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0) {
        int error = errno;
        ::close(fd);
        throw HTTPError(500, "127.0.0.1:" + std::to_string(port) + ": " + errnoText(error));
    }
    if (!bodyLimit) bodyLimit = [](const HTTPRequest&) { return maxBodyBytes; };
    // No socket file: the empty path is never removed.
    return std::unique_ptr<HTTPServer>(new HTTPServer("", std::move(handler), std::move(bodyLimit), fd, {}));
}

uint16_t HTTPServer::port() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(listenFD, reinterpret_cast<sockaddr*>(&address), &size) != 0 || address.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(address.sin_port);
}

HTTPServer::HTTPServer(std::string path, Handler handler, BodyLimit bodyLimit, int fd, SocketFile file)
    : path(std::move(path)),
      socketFile(file),
      handler(std::move(handler)),
      bodyLimit(std::move(bodyLimit)),
      listenFD(fd) {}

void HTTPServer::removeSocketFile() const {
    if (!path.empty()) removeSocketFileIfSame(path.c_str(), socketFile);
}

HTTPServer::~HTTPServer() {
    stop();
    ::close(listenFD);
}

void HTTPServer::start() {
    MutexLock guard(lock);
    if (loop || stopped) return;
    AcceptLoop::Hooks hooks{[this](int fd) { return accept(fd); }, [this](int fd) { refuse(fd); },
                            [this](const std::string& reason) { acceptFailed(reason); }};
    loop = std::make_unique<AcceptLoop>("", listenFD, maxConnections, std::move(hooks));
    loop->start();
}

void HTTPServer::stop() {
    AcceptLoop* running;
    {
        MutexLock guard(lock);
        if (!stopped) {
            stopped = true;
            removeSocketFile();
        }
        running = loop.get();
    }
    if (running) running->stop();
}

size_t HTTPServer::liveConnections() {
    MutexLock guard(lock);
    return loop ? loop->liveConnections() : 0;
}

void HTTPServer::acceptFailed(const std::string& reason) {
    bool report;
    {
        MutexLock guard(lock);
        report = !stopped;
        if (!stopped) {
            stopped = true;
            removeSocketFile();
        }
    }
    if (report && onFatal) onFatal(reason);
}

namespace {

void setTimeouts(int fd, std::chrono::milliseconds receive, std::chrono::milliseconds send) {
    auto set = [fd](int option, std::chrono::milliseconds value) {
        timeval timeout{};
        timeout.tv_sec = static_cast<time_t>(value.count() / 1000);
        timeout.tv_usec = static_cast<suseconds_t>((value.count() % 1000) * 1000);
        ::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof(timeout));
    };
    set(SO_RCVTIMEO, receive);
    set(SO_SNDTIMEO, send);
}

}  // namespace

std::optional<AcceptedConnection> HTTPServer::accept(int fd) const {
    setTimeouts(fd, receiveTimeout, sendTimeout);
    auto connection = std::make_shared<Connection>(std::make_shared<FDTransport>(fd));
    AcceptedConnection accepted;
    accepted.serve = [this, connection] {
        serveOneRequest(*connection, handler, bodyLimit);
        connection->transport->close();
    };
    // Its receive or send wakes, and a stream sees the end between sections.
    accepted.end = [connection] {
        connection->endByServer();
        connection->transport->close();
    };
    accepted.idle = [connection] { return connection->awaitingRequest.load(); };
    return accepted;
}

void HTTPServer::refuse(int fd) const {
    // Written without waiting: a fresh socket's buffer takes the short answer, and the
    // accept loop must not stall on a client that sends and never reads.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    Connection(std::make_shared<FDTransport>(fd)).json(503, {{"error", "too many connections"}});
}

void answerError(Connection& connection, const HTTPError& error) {
    nlohmann::json object = error.extra.is_object() ? error.extra : nlohmann::json::object();
    object["error"] = error.message;
    connection.json(error.status, object);
}

void serveOneRequest(Connection& connection, const HTTPServer::Handler& handler,
                     const HTTPServer::BodyLimit& bodyLimit) {
    try {
        auto [request, contentLength] = connection.readHead(false);
        request.body = connection.readBody(contentLength, bodyLimit(request));
        handler(request, connection);
    } catch (const HTTPError& error) {
        answerError(connection, error);
    } catch (const std::exception& error) {
        connection.json(500, {{"error", error.what()}});
    } catch (...) {
        connection.json(500, {{"error", "internal error"}});
    }
}

}  // namespace tovo
