#pragma once

#include <stdexcept>
#include <string>

namespace tovo {

// The desktop lacks a protocol (or extension) a feature needs: the feature cannot work on
// this desktop, whatever the caller does. `protocol` is the protocol's own name
// ("zwlr_screencopy_manager_v1").
class MissingProtocol : public std::runtime_error {
public:
    explicit MissingProtocol(const std::string& protocol, const std::string& feature)
        : std::runtime_error(feature + " needs the " + protocol + " protocol, which this compositor does not offer"),
          protocol(protocol) {}
    std::string protocol;
};

}  // namespace tovo
