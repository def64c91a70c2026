#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tovo {

// A window a request named that cannot be served as asked. The message is what the client
// reads.
class WindowError : public std::runtime_error {
public:
    enum class Kind {
        notFound,            // no such window
        hidden,              // the window belongs to an app kept out of pictures
        minimized,           // the window is minimised
        noAccessibleWindow,  // the app's accessibility tree has no such window now
        noPicture,           // the window has no picture
        staleElement,        // the element asked for is not the one that was listed
        actionFailed,        // the element refused the action
    };
    WindowError(Kind kind, std::string message) : std::runtime_error(std::move(message)), kind(kind) {}
    const Kind kind;
};

}  // namespace tovo
