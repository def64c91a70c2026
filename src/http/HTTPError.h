#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace tovo {

// The one failure type of the HTTP path. Wherever it surfaces it becomes the JSON answer
// `extra` + {"error": message} with `status`.
class HTTPError : public std::runtime_error {
public:
    HTTPError(int status, std::string message, nlohmann::json extra = nlohmann::json::object())
        : std::runtime_error(message), status(status), message(std::move(message)), extra(std::move(extra)) {}

    int status;
    std::string message;
    nlohmann::json extra;  // always an object
};

}  // namespace tovo
