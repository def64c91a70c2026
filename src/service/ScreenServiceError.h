#pragma once

#include <stdexcept>
#include <string>

namespace tovo {

// Start-up and file errors of the service; its description is its message.
class ScreenServiceError : public std::runtime_error {
public:
    explicit ScreenServiceError(const std::string& message) : std::runtime_error(message), message(message) {}
    std::string message;
};

}  // namespace tovo
