#include "http/HTTPServer.h"

#include "base/Log.h"
#include "http/FDTransport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace tovo {
namespace {

std::string errnoText(int error) { return std::strerror(error); }

// Errors after which accepting can go on: the connection that failed is gone, or the
// process is out of descriptors or memory for the moment. Giving up the listener for
// those would turn a burst of clients into a dead service.
bool isTransientAcceptError(int error) {
    switch (error) {
        case ECONNABORTED: case EPROTO: case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
            return true;
        default:
            return false;
    }
}

bool isResourceShortage(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

void joinUnlessSelf(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

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
    return std::unique_ptr<HTTPServer>(new HTTPServer(std::move(path), std::move(handler), std::move(bodyLimit), fd, file));
}

HTTPServer::HTTPServer(std::string path, Handler handler, BodyLimit bodyLimit, int fd, SocketFile file)
    : path(std::move(path)), socketFile(file), handler(std::move(handler)), bodyLimit(std::move(bodyLimit)), listenFD(fd) {}

void HTTPServer::removeSocketFile() const { removeSocketFileIfSame(path.c_str(), socketFile); }

HTTPServer::~HTTPServer() {
    stop();
    ::close(listenFD);
}

void HTTPServer::start() {
    std::lock_guard<std::mutex> guard(lock);
    if (acceptThread.joinable() || stopped) return;
    acceptThread = std::thread([this] { acceptLoop(); });
}

void HTTPServer::stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!stopped) {
            stopped = true;
            // shutdown wakes an accept in progress; the descriptor is closed by the
            // destructor, so that its number cannot be reused under accept.
            ::shutdown(listenFD, SHUT_RDWR);
            removeSocketFile();
        }
    }
    // Once the accept thread is gone no connection is admitted, so the set below is final.
    joinUnlessSelf(acceptThread);

    std::vector<std::shared_ptr<Connection>> ending;
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto& [id, entry] : live) {
            ending.push_back(entry.connection);
            threads.push_back(std::move(entry.thread));
        }
        for (auto& thread : finished) threads.push_back(std::move(thread));
        finished.clear();
    }
    for (auto& connection : ending) {
        connection->endByServer();
        connection->transport->close();
    }
    for (auto& thread : threads) joinUnlessSelf(thread);
}

size_t HTTPServer::liveConnections() {
    std::lock_guard<std::mutex> guard(lock);
    return live.size();
}

void HTTPServer::reapFinished() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(lock);
        threads.swap(finished);
    }
    for (auto& thread : threads) joinUnlessSelf(thread);
}

void HTTPServer::acceptLoop() {
    bool shortageLogged = false;
    std::string fatal;
    for (;;) {
        int fd = ::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC);
        int error = errno;
        bool isStopped;
        {
            std::lock_guard<std::mutex> guard(lock);
            isStopped = stopped;
        }
        if (fd < 0) {
            if (isStopped) break;
            if (error == EINTR || isTransientAcceptError(error)) {
                if (isResourceShortage(error)) {
                    if (!shortageLogged) log("accept failed: " + errnoText(error) + "; retrying");
                    shortageLogged = true;
                    reapFinished();
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                continue;
            }
            fatal = "accept failed: " + errnoText(error);
            break;
        }
        if (isStopped) {
            ::close(fd);
            break;
        }
        shortageLogged = false;
        reapFinished();
        spawnConnection(fd);
    }

    if (fatal.empty()) return;
    log(fatal);
    bool report = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        report = !stopped;
        if (!stopped) {
            stopped = true;
            ::shutdown(listenFD, SHUT_RDWR);
            removeSocketFile();
        }
    }
    if (report && onFatal) onFatal(fatal);
}

void HTTPServer::spawnConnection(int fd) {
    auto setTimeout = [fd](int option, std::chrono::milliseconds value) {
        timeval timeout{};
        timeout.tv_sec = static_cast<time_t>(value.count() / 1000);
        timeout.tv_usec = static_cast<suseconds_t>((value.count() % 1000) * 1000);
        ::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof(timeout));
    };
    setTimeout(SO_RCVTIMEO, receiveTimeout);
    setTimeout(SO_SNDTIMEO, sendTimeout);
    auto connection = std::make_shared<Connection>(std::make_shared<FDTransport>(fd));

    bool admitted, logFull = false;
    std::shared_ptr<Connection> dropped;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto& [id, entry] : live) count += !entry.dropped;
        if (count >= maxConnections) {
            // The map runs in admission order: the first idle one has waited longest.
            for (auto& [id, entry] : live) {
                if (!entry.dropped && entry.connection->awaitingRequest) {
                    entry.dropped = true;
                    dropped = entry.connection;
                    break;
                }
            }
        }
        admitted = count < maxConnections || dropped;
        logFull = count >= maxConnections && !fullLogged;
        fullLogged = count >= maxConnections;
    }
    if (logFull) {
        log("too many connections (" + std::to_string(count) + "); " +
            (dropped ? "dropping the longest idle ones for newcomers" : "refusing new ones"));
    }
    // Its receive wakes with nothing and its thread ends.
    if (dropped) dropped->transport->close();
    if (!admitted) {
        // Written without waiting: a fresh socket's buffer takes the short answer, and the
        // accept loop must not stall on a client that sends and never reads.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        connection->json(503, {{"error", "too many connections"}});
        return;
    }

    std::lock_guard<std::mutex> guard(lock);
    uint64_t id = ++nextId;
    try {
        // The thread files itself under `finished` when it is done; it cannot get the lock
        // before its entry exists, since the entry is made under the same lock.
        std::thread thread([this, id, connection] {
            serveOneRequest(*connection, handler, bodyLimit);
            connection->transport->close();
            std::lock_guard<std::mutex> done(lock);
            auto it = live.find(id);
            if (it == live.end()) return;
            finished.push_back(std::move(it->second.thread));
            live.erase(it);
        });
        live[id] = Live{connection, std::move(thread)};
    } catch (const std::system_error& e) {
        // Out of threads: the connection is closed unanswered when `connection` goes away.
        log(std::string("cannot start a connection thread: ") + e.what());
    }
}

void answerError(Connection& connection, const HTTPError& error) {
    nlohmann::json object = error.extra.is_object() ? error.extra : nlohmann::json::object();
    object["error"] = error.message;
    connection.json(error.status, object);
}

void serveOneRequest(Connection& connection, const HTTPServer::Handler& handler, const HTTPServer::BodyLimit& bodyLimit) {
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
