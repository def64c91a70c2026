#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace tovo::UnixHTTP {

// A request that got no answer: the message says what failed ("connect: No such file or
// directory", "read: Resource temporarily unavailable", "bad status line: …").
class RequestFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Response {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    // The header's value, or "" when it is absent.
    std::string header(const std::string& lowerName) const;
};

// One request on a connection of its own to the service's Unix socket, read until the
// service closes (the service answers one request per connection). A body is sent with
// `contentType`. Threads: any. Throws RequestFailed.
Response request(const std::string& socketPath, const std::string& method, const std::string& target,
                 const std::optional<std::string>& body, double timeoutSeconds,
                 const std::string& contentType = "application/json");
// Splits an answer into status, headers and body. Throws RequestFailed "no HTTP head in the
// answer" or "bad status line: {line}".
Response parse(const std::string& bytes);

}  // namespace tovo::UnixHTTP
