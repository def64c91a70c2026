#include "http/FDTransport.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace tovo {

FDTransport::~FDTransport() { ::close(fd); }

std::string FDTransport::receive(size_t max) {
    std::string buffer(max, '\0');
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), max, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }
}

std::string FDTransport::receiveWithin(size_t max, double seconds) {
    // Whole milliseconds, rounded up, so that a deadline a fraction of a millisecond away
    // still waits for it rather than spinning.
    auto ms = static_cast<int>(std::min(std::ceil(std::max(seconds, 0.0) * 1000), 2147483647.0));
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    // Nothing arrived in time. Readable, hung up or in error: recv tells which.
    if (r <= 0) return {};
    return receive(max);
}

bool FDTransport::send(std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool FDTransport::hungUp() {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return true;
    if (r == 0) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    return n <= 0;
}

void FDTransport::limitSendBuffer(size_t bytes) {
    int size = static_cast<int>(std::min<size_t>(bytes, 1 << 30));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

void FDTransport::close() {
    // Only shut down here: another thread may still be inside recv or send on the descriptor,
    // and a closed number could be reused under it. The destructor releases it.
    if (!closed.exchange(true)) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace tovo
