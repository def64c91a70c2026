#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tovo::test {

// A raw client of a Unix-domain socket, so tests control every byte and the timing.
class SocketClient {
public:
    // Connects; check connected().
    explicit SocketClient(const std::string& path);
    ~SocketClient();
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    bool connected() const { return fd >= 0; }
    bool send(const std::string& bytes);
    // Reads up to and including `delimiter`; returns what came before it, or no value when
    // the server closed or `limit` passed first. Bytes after it stay for the next call.
    std::optional<std::string> readUntil(const std::string& delimiter, std::chrono::milliseconds limit);
    // Reads exactly `count` bytes; no value when the server closed or `limit` passed first.
    std::optional<std::string> readExactly(size_t count, std::chrono::milliseconds limit);
    // Reads until the server closes the connection or `limit` passes.
    std::string readAll(std::chrono::milliseconds limit = std::chrono::seconds(15));
    void close();

private:
    // Reads into `buffered` until `done` holds; false when the server closed or `limit` passed.
    bool fill(const std::function<bool()>& done, std::chrono::milliseconds limit);

    int fd = -1;
    std::string buffered;
};

struct HTTPResponse {
    int status = 0;
    std::string statusLine;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
};

// Splits a raw response; status 0 when it is not one.
HTTPResponse parseResponse(const std::string& raw);

// Sends `request` on a new connection and reads the whole answer.
HTTPResponse httpExchange(const std::string& socketPath, const std::string& request);

}  // namespace tovo::test
