#include "remote/openssl/TLSListener.h"

#include "base/Log.h"
#include "remote/openssl/OpenSSLKeys.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tovo {
namespace {

using SSLContext = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using Clock = std::chrono::steady_clock;

std::string errnoText(int error) { return std::strerror(error); }

std::string sslErrorText() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown TLS error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Milliseconds left until `deadline`, at least 0.
int millisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 1 << 30));
}

// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, millisLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

std::string peerOf(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return "?";
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
    }
    std::string peer = text;
    for (size_t at; (at = peer.find("::ffff:")) != std::string::npos;) peer.erase(at, 7);
    return peer;
}

// One TLS connection after its handshake. The SSL object is used only by the owning
// thread; close() from elsewhere shuts the socket down, which ends any wait on it.
class TLSStream final : public SecureStream {
public:
    static constexpr double sendLimit = 30;

    TLSStream(SSL* ssl, int fd, std::string peer) : ssl(ssl), fd(fd), peerText(std::move(peer)) {}
    ~TLSStream() override {
        if (!closed.load()) SSL_shutdown(ssl);  // best effort: a close_notify if it fits
        SSL_free(ssl);
    }

    std::string receive(size_t max, double seconds) override {
        auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
        std::string buffer(std::min<size_t>(max, 65536), '\0');
        for (;;) {
            if (closed.load()) return {};
            int n = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
            if (n > 0) {
                buffer.resize(static_cast<size_t>(n));
                return buffer;
            }
            int error = SSL_get_error(ssl, n);
            if (error == SSL_ERROR_WANT_READ && waitFor(fd, POLLIN, deadline)) continue;
            if (error == SSL_ERROR_WANT_WRITE && waitFor(fd, POLLOUT, deadline)) continue;
            ERR_clear_error();
            return {};
        }
    }

    bool send(std::string_view data) override {
        auto deadline = Clock::now() + std::chrono::seconds(static_cast<int>(sendLimit));
        while (!data.empty()) {
            if (closed.load()) return false;
            int n = SSL_write(ssl, data.data(), static_cast<int>(std::min<size_t>(data.size(), 1 << 20)));
            if (n > 0) {
                data.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            int error = SSL_get_error(ssl, n);
            if (error == SSL_ERROR_WANT_WRITE && waitFor(fd, POLLOUT, deadline)) continue;
            if (error == SSL_ERROR_WANT_READ && waitFor(fd, POLLIN, deadline)) continue;
            ERR_clear_error();
            return false;
        }
        return true;
    }

    bool hungUp() override {
        if (closed.load()) return true;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
        char byte;
        int n = SSL_peek(ssl, &byte, 1);
        if (n > 0) return false;
        int error = SSL_get_error(ssl, n);
        ERR_clear_error();
        // A record that was not application data (a key update, a ticket) leaves it open.
        return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
    }

    void close() override {
        if (!closed.exchange(true)) ::shutdown(fd, SHUT_RDWR);
    }

    std::string peer() const override { return peerText; }

private:
    SSL* const ssl;
    const int fd;  // owned by the listener's connection record
    const std::string peerText;
    std::atomic<bool> closed{false};
};

class TLSListener final : public SecureListener {
public:
    ~TLSListener() override { stop(); }

    uint16_t start(uint16_t port, const TLSIdentity& identity, Handlers given) override {
        handlers = std::move(given);
        context = makeContext(identity);
        listenFD = openSocket(port);
        sockaddr_storage bound{};
        socklen_t size = sizeof bound;
        ::getsockname(listenFD, reinterpret_cast<sockaddr*>(&bound), &size);
        uint16_t got = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                                   : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        acceptThread = std::thread([this] { acceptLoop(); });
        return got;
    }

    void stop() override {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (stopped) return;
            stopped = true;
            if (listenFD >= 0) ::shutdown(listenFD, SHUT_RDWR);
        }
        if (acceptThread.joinable()) acceptThread.join();
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (auto& [id, c] : connections) {
                ::shutdown(c.fd, SHUT_RDWR);
                threads.push_back(std::move(c.thread));
            }
            for (auto& thread : finished) threads.push_back(std::move(thread));
            finished.clear();
        }
        for (auto& thread : threads) {
            if (!thread.joinable()) continue;
            // A connection's own thread may stop the listener (by turning remote access off).
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();
            } else {
                thread.join();
            }
        }
        if (listenFD >= 0) ::close(listenFD);
        listenFD = -1;
    }

private:
    struct Live {
        int fd;
        std::thread thread;
    };

    static SSLContext makeContext(const TLSIdentity& identity) {
        SSLContext context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        if (!context) throw std::runtime_error("TLS: " + sslErrorText());
        SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION);
        SSL_CTX_set_mode(context.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        EVPKey key = keyFromBytes(identity.key);
        const auto* der = reinterpret_cast<const unsigned char*>(identity.certificateDER.data());
        if (!key || SSL_CTX_use_certificate_ASN1(context.get(), static_cast<int>(identity.certificateDER.size()), der) != 1 ||
            SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1 || SSL_CTX_check_private_key(context.get()) != 1) {
            throw std::runtime_error("TLS identity: " + sslErrorText());
        }
        return context;
    }

    static int openSocket(uint16_t port) {
        int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1, zero = 0;
        if (fd >= 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_addr = in6addr_any;
            address.sin6_port = htons(port);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 64) == 0) return fd;
            int error = errno;
            ::close(fd);
            if (error != EAFNOSUPPORT && error != EADDRNOTAVAIL) throw std::runtime_error(errnoText(error));
        }
        // No IPv6 here: IPv4 alone.
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error(errnoText(errno));
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0) {
            int error = errno;
            ::close(fd);
            throw std::runtime_error(errnoText(error));
        }
        return fd;
    }

    void acceptLoop() {
        for (;;) {
            int fd = ::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC);
            int error = errno;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopped) {
                    if (fd >= 0) ::close(fd);
                    return;
                }
            }
            if (fd < 0) {
                if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                continue;
            }
            reap();
            uint64_t id;
            {
                std::lock_guard<std::mutex> guard(lock);
                id = ++nextId;
                connections[id] = Live{fd, {}};
            }
            // Not under `lock`: admitting may end other connections, whose ends take it.
            std::optional<uint64_t> ticket = handlers.admit(peerOf(fd), [this, id] { end(id); });
            std::lock_guard<std::mutex> guard(lock);
            if (!ticket) {
                connections.erase(id);
                ::close(fd);
                continue;
            }
            int one = 1, idle = 30;
            ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
            ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            try {
                connections[id].thread = std::thread([this, id, fd, t = *ticket] { serve(id, t, fd); });
            } catch (const std::system_error& e) {
                log(std::string("remote: cannot start a connection thread: ") + e.what());
                connections.erase(id);
                ::close(fd);
                handlers.handshakeFailed(*ticket);
            }
        }
    }

    // Any thread: shuts connection `id` down (its thread then ends), unless it has ended;
    // its descriptor is closed only under `lock`, so a reused number is never touched.
    void end(uint64_t id) {
        std::lock_guard<std::mutex> guard(lock);
        if (auto it = connections.find(id); it != connections.end()) ::shutdown(it->second.fd, SHUT_RDWR);
    }

    // On the connection's own thread: the handshake (10 s at most), then the request loop.
    void serve(uint64_t id, uint64_t ticket, int fd) {
        SSL* ssl = SSL_new(context.get());
        bool ready = false;
        if (ssl && SSL_set_fd(ssl, fd) == 1) {
            auto deadline = Clock::now() + std::chrono::seconds(static_cast<int>(handshakeDeadline));
            for (;;) {
                int r = SSL_accept(ssl);
                if (r == 1) {
                    ready = true;
                    break;
                }
                int error = SSL_get_error(ssl, r);
                if (error == SSL_ERROR_WANT_READ && waitFor(fd, POLLIN, deadline)) continue;
                if (error == SSL_ERROR_WANT_WRITE && waitFor(fd, POLLOUT, deadline)) continue;
                ERR_clear_error();
                break;
            }
        }
        if (ready) {
            handlers.serve(ticket, std::make_unique<TLSStream>(ssl, fd, peerOf(fd)));
        } else {
            if (ssl) SSL_free(ssl);
            handlers.handshakeFailed(ticket);
        }
        std::lock_guard<std::mutex> guard(lock);
        auto it = connections.find(id);
        ::close(fd);
        if (it == connections.end()) return;
        finished.push_back(std::move(it->second.thread));
        connections.erase(it);
    }

    // Joins the threads of connections that ended.
    void reap() {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> guard(lock);
            threads.swap(finished);
        }
        for (auto& thread : threads) thread.join();
    }

    Handlers handlers;  // set by start()
    SSLContext context{nullptr, SSL_CTX_free};
    int listenFD = -1;
    std::thread acceptThread;

    std::mutex lock;  // guards everything below
    bool stopped = false;
    uint64_t nextId = 0;
    std::map<uint64_t, Live> connections;
    std::vector<std::thread> finished;
};

}  // namespace

SecureListenerFactory tlsListenerFactory() {
    return [] { return std::make_unique<TLSListener>(); };
}

}  // namespace tovo
