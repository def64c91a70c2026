#pragma once

#include <stdexcept>

namespace tovo {

// A failure of the tray app; the message is what the log or the user reads.
class AppError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tovo
