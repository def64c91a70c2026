#pragma once

#include <stdexcept>
#include <string>

namespace tovo {

// The caller's input breaks a rule. The message names the parameter and its rule, in words
// the caller reads as they stand ("maxKbps must be an integer 100…100000").
class BadInput : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tovo
