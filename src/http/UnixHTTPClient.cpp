#include "http/UnixHTTPClient.h"

#include "base/Text.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tovo::UnixHTTP {
namespace {

std::string failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
};

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string Response::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

Response parse(const std::string& bytes) {
    const size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) throw RequestFailed("no HTTP head in the answer");
    const size_t lineEnd = bytes.find("\r\n");
    const std::string statusLine = bytes.substr(0, lineEnd);
    Response response;
    const size_t space = statusLine.find(' ');
    bool good = statusLine.rfind("HTTP/1.", 0) == 0 && space != std::string::npos;
    if (good) {
        const size_t next = statusLine.find(' ', space + 1);
        const std::string code =
            statusLine.substr(space + 1, next == std::string::npos ? std::string::npos : next - space - 1);
        good = !code.empty() && code.size() <= 3 && code.find_first_not_of("0123456789") == std::string::npos;
        if (good) response.status = std::stoi(code);
    }
    if (!good) throw RequestFailed("bad status line: " + statusLine);
    for (size_t at = lineEnd + 2; at < end;) {
        size_t next = bytes.find("\r\n", at);
        std::string line = bytes.substr(at, next - at);
        if (size_t colon = line.find(':'); colon != std::string::npos) {
            response.headers[lowercased(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
        }
        at = next + 2;
    }
    response.body = bytes.substr(end + 4);
    return response;
}

Response request(const std::string& socketPath, const std::string& method, const std::string& target,
                 const std::optional<std::string>& body, double timeoutSeconds, const std::string& contentType) {
    Socket s;
    s.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s.fd < 0) throw RequestFailed(failure("socket"));
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(timeoutSeconds);
    timeout.tv_usec = static_cast<suseconds_t>((timeoutSeconds - static_cast<double>(timeout.tv_sec)) * 1e6);
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) throw RequestFailed("socket path too long");
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw RequestFailed(failure("connect"));
    }

    std::string text = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n";
    if (body) text += "Content-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body->size()) + "\r\n";
    text += "\r\n";
    if (body) text += *body;
    for (size_t sent = 0; sent < text.size();) {
        // MSG_NOSIGNAL: a service that went away must not end the caller with SIGPIPE.
        ssize_t n = ::send(s.fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw RequestFailed(failure("write"));
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw RequestFailed(failure("read"));
        if (n == 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    return parse(answer);
}

}  // namespace tovo::UnixHTTP
