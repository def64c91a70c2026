#include "remote/openssl/TLSListener.h"

#include "base/AcceptLoop.h"
#include "base/Log.h"
#include "remote/openssl/OpenSSLKeys.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
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
        AcceptLoop::Hooks hooks{[this](int fd) { return accept(fd); }, [](int fd) { ::close(fd); }, nullptr};
        loop = std::make_unique<AcceptLoop>("remote: ", listenFD, SIZE_MAX, std::move(hooks));
        loop->start();
        return got;
    }

    void stop() override {
        if (!loop) return;
        loop->stop();
        if (listenFD >= 0) ::close(listenFD);
        listenFD = -1;
    }

private:
    // A connection's socket: closed when the last holder lets go, so that ending a
    // connection from another thread never touches a reused descriptor number.
    struct Socket {
        explicit Socket(int fd) : fd(fd) {}
        ~Socket() { ::close(fd); }
        const int fd;
    };

    static SSLContext makeContext(const TLSIdentity& identity) {
        SSLContext context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        if (!context) throw std::runtime_error("TLS: " + sslErrorText());
        SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION);
        SSL_CTX_set_mode(context.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        EVPKey key = keyFromBytes(identity.key);
        const auto* der = reinterpret_cast<const unsigned char*>(identity.certificateDER.data());
        if (!key ||
            SSL_CTX_use_certificate_ASN1(context.get(), static_cast<int>(identity.certificateDER.size()), der) != 1 ||
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
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 64) == 0)
                return fd;
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

    // On the accept thread: admits the peer, then its thread does the handshake.
    std::optional<AcceptedConnection> accept(int fd) {
        auto socket = std::make_shared<Socket>(fd);
        std::weak_ptr<Socket> weak = socket;
        auto end = [weak] {
            if (auto s = weak.lock()) ::shutdown(s->fd, SHUT_RDWR);
        };
        std::optional<uint64_t> ticket = handlers.admit(peerOf(fd), end);
        if (!ticket) return std::nullopt;
        int one = 1, idle = 30;
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        AcceptedConnection accepted;
        accepted.serve = [this, socket, t = *ticket] { serve(t, socket->fd); };
        accepted.end = end;
        accepted.notStarted = [this, t = *ticket] { handlers.handshakeFailed(t); };
        return accepted;
    }

    // On the connection's own thread: the handshake (10 s at most), then the request loop.
    void serve(uint64_t ticket, int fd) {
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
    }

    Handlers handlers;  // set by start()
    SSLContext context{nullptr, SSL_CTX_free};
    int listenFD = -1;
    std::unique_ptr<AcceptLoop> loop;  // made by start()
};

}  // namespace

SecureListenerFactory tlsListenerFactory() {
    return [] { return std::make_unique<TLSListener>(); };
}

}  // namespace tovo
