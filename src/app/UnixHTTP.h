#pragma once

#include <optional>
#include <string>

namespace tovo::UnixHTTP {

struct Response {
    int status = 0;
    std::string body;
};

// One request on a connection of its own to the service's Unix socket, read until the
// service closes. A body is sent as JSON. Throws AppError ("connect: …", "socket path too
// long", "read: …" …).
Response request(const std::string& socketPath, const std::string& method, const std::string& path,
                 const std::optional<std::string>& body, double timeoutSeconds);
// Splits an answer into status and body. Throws AppError "no HTTP head in the answer" or
// "bad status line: {line}".
Response parse(const std::string& bytes);

}  // namespace tovo::UnixHTTP
