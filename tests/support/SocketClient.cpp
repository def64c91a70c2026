#include "support/SocketClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

namespace tovo::test {

SocketClient::SocketClient(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) close();
}

SocketClient::~SocketClient() { close(); }

void SocketClient::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool SocketClient::send(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool SocketClient::fill(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffered.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

std::optional<std::string> SocketClient::readUntil(const std::string& delimiter, std::chrono::milliseconds limit) {
    if (!fill([&] { return buffered.find(delimiter) != std::string::npos; }, limit)) return std::nullopt;
    size_t at = buffered.find(delimiter);
    std::string out = buffered.substr(0, at);
    buffered.erase(0, at + delimiter.size());
    return out;
}

std::optional<std::string> SocketClient::readExactly(size_t count, std::chrono::milliseconds limit) {
    if (!fill([&] { return buffered.size() >= count; }, limit)) return std::nullopt;
    std::string out = buffered.substr(0, count);
    buffered.erase(0, count);
    return out;
}

std::string SocketClient::readAll(std::chrono::milliseconds limit) {
    fill([] { return false; }, limit);  // ends at the close or the limit
    return std::exchange(buffered, {});
}

HTTPResponse parseResponse(const std::string& raw) {
    HTTPResponse response;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.rfind("HTTP/1.1 ", 0) != 0) return response;
    std::string head = raw.substr(0, end);
    response.body = raw.substr(end + 4);
    size_t lineEnd = head.find("\r\n");
    response.statusLine = head.substr(0, lineEnd);
    response.status = std::atoi(response.statusLine.c_str() + 9);
    while (lineEnd != std::string::npos) {
        size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        response.headers[name] = line.substr(colon + 2);
    }
    return response;
}

HTTPResponse httpExchange(const std::string& socketPath, const std::string& request) {
    SocketClient client(socketPath);
    if (!client.connected() || !client.send(request)) return {};
    return parseResponse(client.readAll());
}

}  // namespace tovo::test
