#pragma once

#include "http/Connection.h"
#include "http/HTTPError.h"
#include "support/FakeTransport.h"

#include <memory>
#include <string>
#include <utility>

namespace tovo::test {

// POSTs `body` to `path` through `handler` over a transport the test holds: (status, message)
// when the handler throws HTTPError, else (200, the body it wrote).
template <typename Handler>
std::pair<int, std::string> post(Handler&& handler, const std::string& path, const std::string& body) {
    HTTPRequest request;
    request.method = "POST";
    request.path = path;
    request.body = body;
    auto transport = std::make_shared<FakeTransport>();
    Connection connection(transport);
    try {
        handler(request, connection);
    } catch (const HTTPError& e) {
        return {e.status, e.message};
    }
    return {200, transport->sent.substr(transport->sent.find("\r\n\r\n") + 4)};
}

}  // namespace tovo::test
